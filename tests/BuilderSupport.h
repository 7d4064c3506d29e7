// Helpers for the builder tests: a scratch directory that is also the working
// directory while a test runs, files of a test's choosing, a synthetic program
// file that carries a template package, and a template window over them.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "app/FlashPackage.h"
#include "platform/linux/Platform.h"
#include "tests/Support.h"

using Bytes = std::vector<std::uint8_t>;

// A fresh directory, removed with everything in it at the end; the working
// directory is restored as well (the file list makes its directory current).
class ScratchDir {
 public:
  ScratchDir() : previous_(std::filesystem::current_path()) {
    std::random_device seed;
    path_ = std::filesystem::temp_directory_path() / ("flashutil-builder-" + std::to_string(seed()));
    std::filesystem::create_directories(path_);
  }
  ~ScratchDir() {
    std::error_code error;
    std::filesystem::current_path(previous_, error);
    std::filesystem::remove_all(path_, error);
  }
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;

  const std::filesystem::path& Path() const { return path_; }
  std::string operator/(const std::string& name) const { return (path_ / name).string(); }
  // The names of the files in the directory, sorted.
  std::vector<std::string> Names() const {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(path_))
      names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
  }

 private:
  std::filesystem::path previous_;
  std::filesystem::path path_;
};

inline void WriteFile(const std::string& path, const Bytes& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

inline void WriteText(const std::string& path, const std::string& text) {
  WriteFile(path, Bytes(text.begin(), text.end()));
}

inline Bytes ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Bytes that never hold the keyword's terminator, so no keyword forms by chance.
inline Bytes Filler(std::size_t size, std::uint32_t seed) {
  Bytes bytes(size);
  std::mt19937 random(seed);
  for (auto& b : bytes) b = static_cast<std::uint8_t>(1 + random() % 255);
  return bytes;
}

inline Bytes KeywordBytes() {
  const char* keyword = EmbeddedPackage().PackageKeyword;
  return Bytes(keyword, keyword + kKeywordSize);
}

// A program file: `before` bytes of code, the keyword, an old record, an image
// area that starts with the sentinel, and `after` bytes behind the package.
struct ProgramImage {
  Bytes File;
  std::size_t KeywordAt = 0;  // position of the keyword's first byte
  std::size_t RecordAt() const { return KeywordAt + kKeywordSize; }
  std::size_t ImageAt() const { return RecordAt() + kModelRecordSize; }
};

inline ProgramImage MakeProgramImage(const Bytes& before = Filler(5000, 1), std::size_t after = 3000) {
  ProgramImage program;
  program.File = before;
  program.KeywordAt = program.File.size();
  const Bytes keyword = KeywordBytes();
  program.File.insert(program.File.end(), keyword.begin(), keyword.end());
  const Bytes record = Filler(kModelRecordSize, 2);
  program.File.insert(program.File.end(), record.begin(), record.end());
  Bytes area = Filler(kImageAreaSize, 3);
  std::memcpy(area.data(), TemplateSentinel, 4);
  program.File.insert(program.File.end(), area.begin(), area.end());
  const Bytes tail = Filler(after, 4);
  program.File.insert(program.File.end(), tail.begin(), tail.end());
  return program;
}

// The model list used unless a test brings its own: three models.
inline const char* const kThreeModels =
    "[MODEL00]\nModel=CRW-5224A\nInquiry=QVXR    CRW-5224A\nFW-Range=1000-1FFF\nBINMask=*.BIN\n"
    "Vendor=Qvxr\nNote=\n"
    "[MODEL01]\nModel=DVD-16\nInquiry=--\nFW-Range=-AAA--BBB\nBINMask=*.DVD\nVendor=qvxr\n"
    "Note=FLASH-ALL please\n"
    "[MODEL02]\nModel=Nothing\nInquiry=QVXR    NONE\nFW-Range=0000-9999\nBINMask=*.NONE\nVendor=v\nNote=n\n";

// A template window whose program file is FLASH.EXE in a scratch directory,
// started in that directory, reading its model list with the real INI reader.
struct BuilderFixture {
  ScratchDir Dir;
  FormFixture Window{MakeTemplatePackage(), [] { return MakeIniReader(); }};
  RecordingToolkit& Ui = Window.Ui;
  TFlashForm& Form = *Window.Form;

  explicit BuilderFixture(const std::string& modelList = kThreeModels,
                          const std::string& programName = "FLASH.EXE") {
    Ui.ProgramPath = Dir / programName;
    Ui.StartedPath = "./" + programName;
    Ui.WorkingDirectory = Dir.Path().string();
    WriteText(std::filesystem::path(Ui.ProgramPath).replace_extension(".INI").string(), modelList);
  }
  void Start() { Window.Create(); }
};
