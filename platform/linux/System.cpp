// The Linux half of the system's seam (common/System.h): the standard library's
// file system, the system calls, and the files as a Linux user expects them.
#include "common/System.h"

#include <fcntl.h>
#include <fnmatch.h>
#include <langinfo.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <sstream>
#include <system_error>

namespace fs = std::filesystem;

// File names and file operations: the standard library's file system.

std::string PathFileName(const std::string& path) {
  return fs::path(path).filename().string();
}

std::string PathParent(const std::string& path) {
  return fs::path(path).parent_path().string();
}

std::string PathJoined(const std::string& directory, const std::string& name) {
  return (fs::path(directory) / name).string();
}

std::string PathWithExtension(const std::string& path, const std::string& extension) {
  return fs::path(path).replace_extension(extension).string();
}

bool PathStaysInside(const std::string& text) {
  const fs::path path(text);
  if (path.has_root_name() || path.has_root_directory()) return false;
  for (const fs::path& part : path) {
    if (part == "..") return false;
  }
  return true;
}

bool AbsolutePath(const std::string& path, std::string& absolute, std::string& error) {
  std::error_code ec;
  const fs::path made = fs::absolute(path, ec);
  if (ec) {
    error = ec.message();
    return false;
  }
  absolute = made.string();
  return true;
}

FileKind KindOfFile(const std::string& path, std::string* error) {
  std::error_code ec;
  const fs::file_status status = fs::status(path, ec);
  if (status.type() == fs::file_type::not_found) return FileKind::Missing;
  if (ec) {
    if (error != nullptr) *error = ec.message();
    return FileKind::Unknown;
  }
  if (status.type() == fs::file_type::regular) return FileKind::Regular;
  if (status.type() == fs::file_type::directory) return FileKind::Directory;
  return FileKind::Other;
}

bool NameTaken(const std::string& path) {
  std::error_code ec;
  return fs::symlink_status(path, ec).type() != fs::file_type::not_found;
}

bool NameIsLink(const std::string& path, std::string& error) {
  std::error_code ec;
  const fs::file_status status = fs::symlink_status(path, ec);
  if (status.type() == fs::file_type::not_found) return false;
  if (ec) error = ec.message();
  return !ec && status.type() == fs::file_type::symlink;
}

bool SameFile(const std::string& a, const std::string& b) {
  std::error_code ec;
  return fs::equivalent(a, b, ec) && !ec;
}

bool FileSizeOf(const std::string& path, std::uint64_t& size) {
  std::error_code ec;
  if (!fs::is_regular_file(path, ec)) return false;
  const std::uintmax_t found = fs::file_size(path, ec);
  if (ec) return false;
  size = found;
  return true;
}

bool RenameReplacing(const std::string& from, const std::string& to) {
  std::error_code ec;
  fs::rename(from, to, ec);
  return !ec;
}

bool RemoveFile(const std::string& path) {
  std::error_code ec;
  return fs::remove(path, ec);
}

// Files as a Linux user expects them listed: shell wildcards (fnmatch), matched
// case-sensitively, plain files only, sorted by name.
std::vector<std::string> ListMatchingFiles(const std::string& directory, const std::string& mask) {
  std::vector<std::string> patterns;
  std::stringstream split(mask);
  for (std::string pattern; std::getline(split, pattern, ';');) {
    if (!pattern.empty()) patterns.push_back(pattern == "*.*" ? "*" : pattern);
  }
  std::vector<std::string> names;
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator(directory, error)) {
    std::error_code typeError;
    if (!entry.is_regular_file(typeError)) continue;
    const std::string name = entry.path().filename().string();
    for (const std::string& pattern : patterns) {
      if (fnmatch(pattern.c_str(), name.c_str(), FNM_PERIOD) == 0) {
        names.push_back(name);
        break;
      }
    }
  }
  std::sort(names.begin(), names.end());
  return names;
}

bool ChangeCurrentDirectory(const std::string& directory) {
  return !directory.empty() && chdir(directory.c_str()) == 0;
}

std::string LocaleUpperCase(const std::string& text) {
  // A Turkish locale must never turn "i" into a byte outside ASCII; bytes above
  // ASCII follow the locale's single-byte rules, which leave them alone in UTF-8
  // and other multi-byte locales.
  std::string result = text;
  for (char& c : result) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte >= 'a' && byte <= 'z') {
      c = static_cast<char>(byte - 'a' + 'A');
    } else if (byte >= 0x80) {
      const int upper = std::toupper(byte);
      if (upper >= 0x80 && upper <= 0xFF) c = static_cast<char>(upper);
    }
  }
  return result;
}

bool LocaleIsUtf8() {
  const char* codeset = nl_langinfo(CODESET);
  return codeset != nullptr && std::strcmp(codeset, "UTF-8") == 0;
}

// The lock.

struct Mutex::State {
  std::mutex Lock;
};

Mutex::Mutex() : state_(std::make_unique<State>()) {}
Mutex::~Mutex() = default;
void Mutex::Lock() {
  state_->Lock.lock();
}
void Mutex::Unlock() {
  state_->Lock.unlock();
}

// The program file: its descriptor also serves the kernel's copy.

struct ProgramFile::State {
  int Fd = -1;
  bool Failed = false;
};

ProgramFile::ProgramFile() : state_(std::make_unique<State>()) {}

ProgramFile::~ProgramFile() {
  if (state_->Fd >= 0) ::close(state_->Fd);
}

bool ProgramFile::Open(const std::string& path, std::uint64_t& length) {
  if (path.empty() || KindOfFile(path) != FileKind::Regular) return false;
  state_->Fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  struct stat info {};
  if (state_->Fd < 0 || ::fstat(state_->Fd, &info) != 0 || !S_ISREG(info.st_mode)) return false;
  length = static_cast<std::uint64_t>(info.st_size);
  return true;
}

std::size_t ProgramFile::Read(char* data, std::size_t size) {
  std::size_t got = 0;
  while (got < size) {
    const ssize_t n = ::read(state_->Fd, data + got, size - got);
    if (n > 0) {
      got += static_cast<std::size_t>(n);
    } else if (n == 0) {
      break;
    } else if (errno != EINTR) {
      state_->Failed = true;
      break;
    }
  }
  return got;
}

bool ProgramFile::Seek(std::uint64_t position) {
  return ::lseek(state_->Fd, static_cast<off_t>(position), SEEK_SET) == static_cast<off_t>(position);
}

bool ProgramFile::Failed() const {
  return state_->Failed;
}

// The new program while it is being written: an unnamed file where the kernel and
// the file system make one, else a named work file.

struct PendingOutput::State {
  int Fd = -1;
  std::string Path;  // empty while the file has no name
  bool KernelCopy = true;
};

namespace {

std::string Directory(const std::string& output) {
  const std::string parent = PathParent(output);
  return parent.empty() ? "." : parent;
}

// Gives the unnamed file a name; errno tells why not (EEXIST: the name is taken).
bool LinkAs(int fd, const std::string& name) {
  const std::string self = "/proc/self/fd/" + std::to_string(fd);
  return ::linkat(AT_FDCWD, self.c_str(), AT_FDCWD, name.c_str(), AT_SYMLINK_FOLLOW) == 0;
}

// The directory's new entry reaches the disk as well. The program is built
// whatever the file system answers: its bytes are on the disk already.
bool Committed(const std::string& output) {
  const int directory = ::open(Directory(output).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (directory >= 0) {
    ::fsync(directory);
    ::close(directory);
  }
  return true;
}

}  // namespace

PendingOutput::PendingOutput() : state_(std::make_unique<State>()) {}

PendingOutput::~PendingOutput() {
  Discard();
}

bool PendingOutput::Create(const std::string& output) {
  // An unnamed file is named through /proc; without it only a privileged process
  // may name one, so a named work file serves there.
  if (::access("/proc/self/fd", X_OK) == 0) {
    state_->Fd = ::open(Directory(output).c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666);
    if (state_->Fd >= 0) return true;
    // A kernel (EISDIR) or a file system (EOPNOTSUPP, EINVAL) without unnamed files.
    if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL) return false;
  }
  // A name no existing file has, so no file of the user's is ever opened for writing.
  state_->Path = TakeFreeName(output, [this](const std::string& name) {
    state_->Fd = ::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    return state_->Fd >= 0;
  });
  return !state_->Path.empty();
}

std::uint64_t PendingOutput::BlockSize() const {
  struct stat info {};
  const auto size = ::fstat(state_->Fd, &info) == 0 ? static_cast<std::uint64_t>(info.st_blksize) : 0;
  const bool usable = size >= 512 && size <= kBlockSize && (size & (size - 1)) == 0;
  return usable ? size : 4096;
}

bool PendingOutput::Write(const void* data, std::size_t size) {
  const char* bytes = static_cast<const char*>(data);
  while (size > 0) {
    const ssize_t n = ::write(state_->Fd, bytes, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    bytes += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

std::uint64_t PendingOutput::CopyInKernel(ProgramFile& program, std::uint64_t count) {
  std::uint64_t copied = 0;
  while (copied < count && state_->KernelCopy) {
    const ssize_t n =
        ::copy_file_range(program.state_->Fd, nullptr, state_->Fd, nullptr,
                          static_cast<std::size_t>(std::min<std::uint64_t>(count - copied, SSIZE_MAX)), 0);
    if (n > 0) {
      copied += static_cast<std::uint64_t>(n);
    } else if (n == 0 || errno != EINTR) {
      state_->KernelCopy = false;  // EXDEV, ENOSYS, EINVAL, EOPNOTSUPP, or an end the plain copy confirms
    }
  }
  return copied;
}

void PendingOutput::TakeExecutePermissions(const std::string& programPath) {
  struct stat program {};
  struct stat info {};
  if (::stat(programPath.c_str(), &program) != 0 || ::fstat(state_->Fd, &info) != 0) return;
  ::fchmod(state_->Fd, (info.st_mode & 07777) | (program.st_mode & (S_IXUSR | S_IXGRP | S_IXOTH)));
}

bool PendingOutput::Sync() {
  return ::fsync(state_->Fd) == 0;
}

bool PendingOutput::MoveTo(const std::string& output) {
  if (state_->Path.empty()) {
    if (LinkAs(state_->Fd, output)) return Committed(output);
    if (errno != EEXIST) return false;
    // A program of that name is replaced at once: the file takes a name of its
    // own first, then the output's.
    state_->Path = TakeFreeName(output, [this](const std::string& name) { return LinkAs(state_->Fd, name); });
    if (state_->Path.empty()) return false;
  }
  if (::rename(state_->Path.c_str(), output.c_str()) != 0) return false;
  state_->Path.clear();
  return Committed(output);
}

void PendingOutput::Discard() {
  if (state_->Fd >= 0) ::close(state_->Fd);
  state_->Fd = -1;
  if (!state_->Path.empty()) ::unlink(state_->Path.c_str());
}

// The session log's file.

namespace {

// /dev/null, /dev/full or a terminal.
bool HarmlessDevice(int file, const struct stat& status) {
  const bool null = major(status.st_rdev) == 1 && (minor(status.st_rdev) == 3 || minor(status.st_rdev) == 7);
  return null || isatty(file) == 1;
}

}  // namespace

int OpenLogFile(const std::string& file, std::string& why) {
  // A block device is not even opened: opening a drive's node for writing sends it commands.
  struct stat status {};
  if (stat(file.c_str(), &status) == 0 && S_ISBLK(status.st_mode)) {
    why = "a block device, not a file";
    return -1;
  }
  // Without O_NONBLOCK, opening a pipe that no program reads waits for a reader.
  const int handle =
      open(file.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0666);
  if (handle < 0) {
    const int error = errno;
    why = error == ENXIO && stat(file.c_str(), &status) == 0 && S_ISFIFO(status.st_mode)
              ? "a named pipe that no program reads"
              : std::strerror(error);
    return -1;
  }
  if (fstat(handle, &status) != 0 || S_ISBLK(status.st_mode) ||
      (S_ISCHR(status.st_mode) && !HarmlessDevice(handle, status))) {
    why = "a device, not a file, a pipe or a terminal";
    close(handle);
    return -1;
  }
  // Lines wait for a slow reader rather than be lost.
  const int flags = fcntl(handle, F_GETFL);
  if (flags != -1) fcntl(handle, F_SETFL, flags & ~O_NONBLOCK);
  return handle;
}

std::ptrdiff_t WriteLogFile(int file, const char* bytes, std::size_t count) {
  return write(file, bytes, count);
}

void CloseLogFile(int file) {
  close(file);
}
