// What the fuzz targets share: structured values read off the fuzzer's bytes, a
// check that stops the run with a crash the fuzzer records, and a scratch
// directory of the process's own for the files a target writes.
#pragma once

#include <stdlib.h>  // mkdtemp

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "device/Transport.h"

// Undefined behaviour stops the run (as a crash the fuzzer records) however the
// target is started; UBSAN_OPTIONS may still add suppressions. Each target is one
// source file, so this definition is made once per program.
extern "C" const char* __ubsan_default_options();
extern "C" __attribute__((used)) const char* __ubsan_default_options() {
  return "halt_on_error=1:print_stacktrace=1";
}

// Stops the run: a broken property is a crash like any other.
[[noreturn]] inline void FuzzFail(const char* check, const std::string& detail) {
  std::fprintf(stderr, "fuzz check failed: %s\n  %s\n", check, detail.c_str());
  std::abort();
}

#define FUZZ_CHECK(condition, detail)                 \
  do {                                                \
    if (!(condition)) FuzzFail(#condition, (detail)); \
  } while (0)

// A completed command with GOOD status, and one with CHECK CONDITION and
// fixed-format sense data, as a transport reports them.
inline CommandResult GoodResult() {
  return CommandResult::WithStatus(0x00);
}
inline CommandResult CheckResult(std::uint8_t key, std::uint8_t asc, std::uint8_t ascq) {
  CommandResult result = CommandResult::WithStatus(0x02);
  const std::uint8_t sense[18] = {0x70, 0, key, 0, 0, 0, 0, 10, 0, 0, 0, 0, asc, ascq, 0, 0, 0, 0};
  result.SetSense(sense, sizeof sense);
  return result;
}

// The fuzzer's bytes, taken from the front; past the end every value is zero.
class FuzzInput {
 public:
  FuzzInput(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

  bool Empty() const { return at_ >= size_; }
  std::size_t Left() const { return Empty() ? 0 : size_ - at_; }
  std::uint8_t Byte() { return Empty() ? 0 : data_[at_++]; }
  bool Bit() { return (Byte() & 1) != 0; }
  // Big-endian; the high part is read first.
  std::uint16_t Word() {
    const unsigned high = Byte();
    return static_cast<std::uint16_t>(high << 8 | Byte());
  }
  std::uint32_t Long() {
    const std::uint32_t high = Word();
    return high << 16 | Word();
  }
  std::vector<std::uint8_t> Bytes(std::size_t n) {
    if (n > Left()) n = Left();
    std::vector<std::uint8_t> bytes(data_ + at_, data_ + at_ + n);
    at_ += n;
    return bytes;
  }
  std::string Text(std::size_t n) {
    const std::vector<std::uint8_t> bytes = Bytes(n);
    return std::string(bytes.begin(), bytes.end());
  }
  std::vector<std::uint8_t> Rest() { return Bytes(Left()); }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t at_ = 0;
};

// A directory of this process under TMPDIR, made on first use. The fuzzer ends
// without running exit handlers, so it stays: scripts/fuzz points TMPDIR into the
// build directory and empties it before each run.
inline const std::filesystem::path& FuzzScratchDir() {
  static const std::filesystem::path dir = [] {
    std::string pattern = (std::filesystem::temp_directory_path() / "flashutil-fuzz-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) FuzzFail("mkdtemp", pattern);
    return std::filesystem::path(pattern);
  }();
  return dir;
}

// The file list makes its folder the working directory; the fuzzer reads and
// writes its corpus by the paths it was given, so each input ends where it began.
class KeepWorkingDirectory {
 public:
  KeepWorkingDirectory() : path_(std::filesystem::current_path()) {}
  ~KeepWorkingDirectory() { std::filesystem::current_path(path_); }
  KeepWorkingDirectory(const KeepWorkingDirectory&) = delete;
  KeepWorkingDirectory& operator=(const KeepWorkingDirectory&) = delete;

 private:
  std::filesystem::path path_;
};

inline void WriteFuzzFile(const std::filesystem::path& path, const std::uint8_t* data, std::size_t size) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
  if (!out.flush()) FuzzFail("writing a scratch file", path.string());
}

inline void WriteFuzzFile(const std::filesystem::path& path, const std::string& text) {
  WriteFuzzFile(path, reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
}

// A transport of `Drives` drives D:, E:, ... at targets 0, 1, ... that opens each
// as handle = its position and counts opens and closes; Execute is the target's.
class FakeTransport : public Transport {
 public:
  int Drives = 1;
  int Opens = 0;
  int Closes = 0;

  std::uint8_t Setup(MessageSink&) override { return dsOk; }
  bool OpensDevices() const override { return true; }
  std::vector<DriveAddress> Enumerate() override {
    std::vector<DriveAddress> addresses;
    for (int i = 0; i < Drives; ++i) {
      addresses.push_back({static_cast<char>('D' + i % 23), 0, static_cast<std::uint8_t>(i), 0, {}});
    }
    return addresses;
  }
  OpenResult Open(const DriveAddress& address) override {
    OpenResult result;
    if (!OpenFails(address.Target)) {
      result.Handle = address.Target;
      ++Opens;
    } else {
      result.Error = 2;
    }
    result.Path = "/dev/fake" + std::to_string(address.Target);
    return result;
  }
  void Close(DeviceHandle) override { ++Closes; }
  std::string ErrorText(std::uint32_t) override { return {}; }
  std::uint32_t DeviceError() const override { return 5; }

 protected:
  virtual bool OpenFails(int) const { return false; }
};
