// Everything the core asks of the operating system: file names and the few file
// operations the builder and the simulated drives need, the lock, the file list's
// search, the stamping's program file and work file, and the session log's file.
//
// Each system has one file that answers it: platform/linux/System.cpp and
// platform/windows/System.cpp, compiled into the bottom layer. On Linux the
// answers are the standard library's file system and the system calls; on
// Windows they are the ANSI calls every Windows since 95 exports, so the 32-bit
// program loads on the systems before NT as well. What is the same on every
// system is written here once.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

// File names. They follow the platform: on Windows both / and \ separate parts
// and a drive letter starts a name.

// The last part of a name ("C:\DIR\FLASH.EXE": "FLASH.EXE").
std::string PathFileName(const std::string& path);
// Everything before the last part ("dir/name": "dir"; "name": "").
std::string PathParent(const std::string& path);
// The name of `name` inside `directory`; `name` alone when the directory is empty.
std::string PathJoined(const std::string& directory, const std::string& name);
// The name with its last part's extension replaced by `extension` (".INI").
std::string PathWithExtension(const std::string& path, const std::string& extension);
// True for a relative name that never climbs out of its folder (no root, no "..").
bool PathStaysInside(const std::string& path);
// The name made absolute against the working directory; false with the reason.
bool AbsolutePath(const std::string& path, std::string& absolute, std::string& error);

enum class FileKind { Missing, Regular, Directory, Other, Unknown };
// What the name refers to, links followed. Unknown when the system could not say
// (the reason in `error` when given).
FileKind KindOfFile(const std::string& path, std::string* error = nullptr);
// True when something has the name, a link to nowhere included.
bool NameTaken(const std::string& path);
// True when the name is itself a link (on Windows a reparse point: a symbolic link
// or a junction); links on the way to it are followed. False when nothing has the
// name, and false with the reason in `error` when the system could not say.
bool NameIsLink(const std::string& path, std::string& error);
// True when both names refer to one existing file.
bool SameFile(const std::string& a, const std::string& b);
// The size of a plain file; false when it has none.
bool FileSizeOf(const std::string& path, std::uint64_t& size);
// Gives `from` the name `to`, replacing a file of that name.
bool RenameReplacing(const std::string& from, const std::string& to);
// Removes a file; false when nothing was removed.
bool RemoveFile(const std::string& path);

// The file names of a directory that match a mask, sorted by name, as the
// platform lists files. A mask may hold several patterns separated by ';'.
std::vector<std::string> ListMatchingFiles(const std::string& directory, const std::string& mask);
// Makes a directory the process's current directory; false when it cannot.
bool ChangeCurrentDirectory(const std::string& directory);
// Upper case by the system's locale rules, as the Linux faces do it: ASCII letters
// the same in every locale, other bytes by the locale's single-byte rules. Linux
// only: the Windows window upper-cases by its own rules.
std::string LocaleUpperCase(const std::string& text);
// Whether the program's output is read as UTF-8: the character set of the
// locale it runs in (on systems without locales, Windows, a single-byte set).
bool LocaleIsUtf8();

// A lock for state shared by the window's thread and the worker. The C++ runtime
// of the Windows programs has no std::mutex (its thread model keeps it off the
// newer systems' calls), so Windows uses a critical section.
class Mutex {
 public:
  Mutex();
  ~Mutex();
  Mutex(const Mutex&) = delete;
  Mutex& operator=(const Mutex&) = delete;

  void Lock();
  void Unlock();

 private:
  struct State;
  std::unique_ptr<State> state_;
};

// Holds the lock for its scope.
class MutexLock {
 public:
  explicit MutexLock(Mutex& mutex) : mutex_(mutex) { mutex_.Lock(); }
  ~MutexLock() { mutex_.Unlock(); }
  MutexLock(const MutexLock&) = delete;
  MutexLock& operator=(const MutexLock&) = delete;

 private:
  Mutex& mutex_;
};

// A file for binary reading and its length, or false when it is no plain file
// that can be opened.
inline bool OpenForReading(const std::string& path, std::ifstream& stream, std::uint64_t& length) {
  if (path.empty() || KindOfFile(path) != FileKind::Regular) return false;
  stream.open(path, std::ios::binary);
  if (!stream) return false;
  stream.seekg(0, std::ios::end);
  const std::streamoff end = stream.tellg();
  stream.seekg(0, std::ios::beg);
  if (end < 0 || !stream) return false;
  length = static_cast<std::uint64_t>(end);
  return true;
}

inline std::size_t ReadBlock(std::ifstream& stream, char* data, std::size_t size) {
  stream.read(data, static_cast<std::streamsize>(size));
  return static_cast<std::size_t>(stream.gcount());
}

// Gives `take` the names "<output>.building", then numbered ones, until it
// succeeds with one, and returns that name (empty when none was taken). A name
// is passed over only when something already has it, a link to nowhere
// included: existence is decided without following links.
template <typename Take>
std::string TakeFreeName(const std::string& output, Take take) {
  for (int attempt = 0; attempt < 100; ++attempt) {
    const std::string candidate = output + ".building" + (attempt == 0 ? "" : std::to_string(attempt));
    if (take(candidate)) return candidate;
    if (!NameTaken(candidate)) break;  // no new file here
  }
  return {};
}

// The program file a new program is stamped from, read in order. On Linux its
// descriptor also serves the kernel's copy.
class ProgramFile {
 public:
  ProgramFile();
  ~ProgramFile();
  ProgramFile(const ProgramFile&) = delete;
  ProgramFile& operator=(const ProgramFile&) = delete;

  // A plain file only: opening a pipe of that name would wait for a writer.
  bool Open(const std::string& path, std::uint64_t& length);
  // As many bytes as asked, fewer only at the end of the file or on an error.
  std::size_t Read(char* data, std::size_t size);
  bool Seek(std::uint64_t position);
  bool Failed() const;

 private:
  friend class PendingOutput;
  struct State;
  std::unique_ptr<State> state_;
};

enum class Copied { All, ReadFailed, WriteFailed };

// The new program while it is being written. On Linux it has no name in the
// directory until it is complete, so nothing is left of it when the build fails
// or the program is killed; where the file system cannot create such a file, and
// on Windows, it is a file of its own beside the output, removed unless it is
// given the output's name.
class PendingOutput {
 public:
  // The block the program is copied in: the work file's buffer on Windows, the
  // largest unit of storage the Linux copy aligns to.
  static constexpr std::size_t kBlockSize = std::size_t{1} << 16;

  PendingOutput();
  ~PendingOutput();
  PendingOutput(const PendingOutput&) = delete;
  PendingOutput& operator=(const PendingOutput&) = delete;

  // Creates the file; when it has a name, it is one no existing file has, so no
  // file of the user's is ever opened for writing.
  bool Create(const std::string& output);

  // The unit of the file system's storage: copies that start and end on it can
  // share the template's blocks where the file system shares extents (Linux; on
  // Windows always 4096).
  std::uint64_t BlockSize() const;

  bool Write(const void* data, std::size_t size);

  // Copies the next `count` bytes of the program file behind what is written.
  // The Linux kernel copies them where it can (sharing extents where the file
  // system does); otherwise, and after any failure of its copy, they go through
  // `buffer`, which reports a failure of its own as reading or writing.
  Copied CopyFrom(ProgramFile& program, std::uint64_t count, std::vector<char>& buffer) {
    count -= CopyInKernel(program, count);
    while (count > 0) {
      const std::size_t got = program.Read(buffer.data(), std::min<std::uint64_t>(count, buffer.size()));
      if (got == 0) return Copied::ReadFailed;
      if (!Write(buffer.data(), got)) return Copied::WriteFailed;
      count -= got;
    }
    return Copied::All;
  }

  // The new program can be started like the template: on Linux it takes the
  // template's execute permissions. A file system without them refuses; the
  // program is built all the same. Windows has no execute permissions: any
  // program file can be started.
  void TakeExecutePermissions(const std::string& programPath);

  // True when every byte is on the disk (on Windows the file is closed then).
  bool Sync();

  // Gives the file the output's name, replacing a file of that name, and on Linux
  // records the name on the disk too.
  bool MoveTo(const std::string& output);

 private:
  // How many of the next `count` bytes the kernel copied behind what is written
  // (none on Windows).
  std::uint64_t CopyInKernel(ProgramFile& program, std::uint64_t count);
  void Discard();

  struct State;
  std::unique_ptr<State> state_;
};

// The session log's file, opened for appending; its handle, or -1 with the reason
// in `why`. Never waits: a pipe that no program reads is refused, and on Linux so
// is a device other than a terminal or a null device (a drive's node would take
// the lines as commands).
int OpenLogFile(const std::string& file, std::string& why);
// Writes some of the bytes; how many, or -1 with the reason in errno.
std::ptrdiff_t WriteLogFile(int file, const char* bytes, std::size_t count);
void CloseLogFile(int file);
