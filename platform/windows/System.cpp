// The Windows half of the system's seam (common/System.h): the ANSI calls every
// Windows since 95 exports, and the C runtime the programs link (msvcrt.dll).
#include "common/System.h"

#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <windows.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sstream>
#include <vector>

#include "common/Text.h"

namespace {

bool IsSeparator(char c) {
  return c == '/' || c == '\\';
}

// The length of a leading drive ("C:") or server share ("\\server"), 0 without one.
std::size_t RootNameLength(const std::string& path) {
  if (path.size() >= 2 && path[1] == ':' && std::isalpha(static_cast<unsigned char>(path[0]))) return 2;
  if (path.size() > 2 && IsSeparator(path[0]) && IsSeparator(path[1]) && !IsSeparator(path[2])) {
    std::size_t end = 2;
    while (end < path.size() && !IsSeparator(path[end])) ++end;
    return end;
  }
  return 0;
}

// Where the last part starts.
std::size_t LastPartStart(const std::string& path) {
  const std::size_t root = RootNameLength(path);
  const std::size_t separator = path.find_last_of("/\\");
  if (separator == std::string::npos || separator < root) return root;
  return separator + 1;
}

bool NotFound(DWORD error) {
  return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND || error == ERROR_INVALID_NAME ||
         error == ERROR_BAD_NETPATH;
}

std::string SystemErrorText(DWORD error) {
  char text[256] = {};
  const DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                                      error, 0, text, sizeof text, nullptr);
  std::string message(text, length);
  while (!message.empty() && (message.back() == '\n' || message.back() == '\r' || message.back() == '.')) {
    message.pop_back();
  }
  return message.empty() ? Format("system error %lu", static_cast<unsigned long>(error)) : message;
}

// Opens a name for asking about it only (no reading, no writing).
HANDLE OpenForQuery(const std::string& path) {
  return CreateFileA(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                     FILE_FLAG_BACKUP_SEMANTICS, nullptr);
}

}  // namespace

std::string PathFileName(const std::string& path) {
  return path.substr(LastPartStart(path));
}

std::string PathParent(const std::string& path) {
  const std::size_t root = RootNameLength(path);
  std::size_t end = LastPartStart(path);
  if (end == root) return path.substr(0, root);
  while (end > root + 1 && IsSeparator(path[end - 1])) --end;  // "a\\b": "a"; "\b": "\"
  if (end == root + 1 && IsSeparator(path[root])) return path.substr(0, end);
  return path.substr(0, IsSeparator(path[end - 1]) ? end - 1 : end);
}

std::string PathJoined(const std::string& directory, const std::string& name) {
  if (directory.empty()) return name;
  if (IsSeparator(directory.back()) || directory.size() == RootNameLength(directory)) return directory + name;
  return directory + '\\' + name;
}

std::string PathWithExtension(const std::string& path, const std::string& extension) {
  const std::string name = PathFileName(path);
  const std::size_t dot = name.rfind('.');
  const bool hasExtension = name != "." && name != ".." && dot != std::string::npos && dot > 0;
  return (hasExtension ? path.substr(0, path.size() - (name.size() - dot)) : path) + extension;
}

bool PathStaysInside(const std::string& path) {
  if (RootNameLength(path) != 0 || (!path.empty() && IsSeparator(path[0]))) return false;
  std::size_t start = 0;
  while (start <= path.size()) {
    std::size_t end = path.find_first_of("/\\", start);
    if (end == std::string::npos) end = path.size();
    if (path.compare(start, end - start, "..") == 0) return false;
    start = end + 1;
  }
  return true;
}

bool AbsolutePath(const std::string& path, std::string& absolute, std::string& error) {
  std::vector<char> buffer(MAX_PATH + 1);
  for (int attempt = 0; attempt < 2; ++attempt) {
    const DWORD length =
        GetFullPathNameA(path.c_str(), static_cast<DWORD>(buffer.size()), buffer.data(), nullptr);
    if (length == 0) {
      error = SystemErrorText(GetLastError());
      return false;
    }
    if (length < buffer.size()) {
      absolute.assign(buffer.data(), length);
      return true;
    }
    buffer.resize(length + 1);
  }
  error = "the name is too long";
  return false;
}

FileKind KindOfFile(const std::string& path, std::string* error) {
  const DWORD attributes = GetFileAttributesA(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    const DWORD reason = GetLastError();
    if (NotFound(reason)) return FileKind::Missing;
    if (error != nullptr) *error = SystemErrorText(reason);
    return FileKind::Unknown;
  }
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) return FileKind::Directory;
  if ((attributes & FILE_ATTRIBUTE_DEVICE) != 0) return FileKind::Other;
  return FileKind::Regular;
}

bool NameTaken(const std::string& path) {
  return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES || !NotFound(GetLastError());
}

bool NameIsLink(const std::string& path, std::string& error) {
  const DWORD attributes = GetFileAttributesA(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    const DWORD reason = GetLastError();
    if (!NotFound(reason)) error = SystemErrorText(reason);
    return false;
  }
  return (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

bool SameFile(const std::string& a, const std::string& b) {
  BY_HANDLE_FILE_INFORMATION info[2] = {};
  const std::string* names[2] = {&a, &b};
  for (int i = 0; i < 2; ++i) {
    const HANDLE file = OpenForQuery(*names[i]);
    if (file == INVALID_HANDLE_VALUE) return false;
    const bool known = GetFileInformationByHandle(file, &info[i]) != 0;
    CloseHandle(file);
    if (!known) return false;
  }
  return info[0].dwVolumeSerialNumber == info[1].dwVolumeSerialNumber &&
         info[0].nFileIndexHigh == info[1].nFileIndexHigh && info[0].nFileIndexLow == info[1].nFileIndexLow;
}

bool FileSizeOf(const std::string& path, std::uint64_t& size) {
  if (KindOfFile(path) != FileKind::Regular) return false;
  const HANDLE file = OpenForQuery(path);
  if (file == INVALID_HANDLE_VALUE) return false;
  DWORD high = 0;
  const DWORD low = GetFileSize(file, &high);
  const bool known = low != INVALID_FILE_SIZE || GetLastError() == NO_ERROR;
  CloseHandle(file);
  if (known) size = (std::uint64_t{high} << 32) | low;
  return known;
}

bool RenameReplacing(const std::string& from, const std::string& to) {
  // The systems before NT have no replacing rename: there the old file goes first.
  using MoveFileExFunction = BOOL(WINAPI*)(LPCSTR, LPCSTR, DWORD);
  const auto moveFileEx = reinterpret_cast<MoveFileExFunction>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("KERNEL32.DLL"), "MoveFileExA")));
  if (moveFileEx != nullptr) {
    if (moveFileEx(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_COPY_ALLOWED) != 0)
      return true;
    if (GetLastError() != ERROR_CALL_NOT_IMPLEMENTED) return false;
  }
  if (MoveFileA(from.c_str(), to.c_str()) != 0) return true;
  const DWORD reason = GetLastError();
  if (reason != ERROR_ALREADY_EXISTS && reason != ERROR_FILE_EXISTS) return false;
  return DeleteFileA(to.c_str()) != 0 && MoveFileA(from.c_str(), to.c_str()) != 0;
}

bool RemoveFile(const std::string& path) {
  return DeleteFileA(path.c_str()) != 0;
}

// Files as the Windows file search lists them: FindFirstFileA with the mask,
// plain files only, names compared without regard to letter case. The search
// also matches a file by its short 8.3 alias ("*.BIN" finds "IMAGE.BINX" through
// "IMAGE~1.BIN"); a name is kept only when its own long name fits the mask.

namespace {

std::string Upper(std::string text) {
  if (!text.empty()) CharUpperBuffA(text.data(), static_cast<DWORD>(text.size()));
  return text;
}

// '*' any run of characters, '?' one character; both texts upper-cased.
bool Fits(const char* pattern, const char* name) {
  const char* starPattern = nullptr;
  const char* starName = nullptr;
  while (*name != '\0') {
    if (*pattern == '*') {
      starPattern = ++pattern;
      starName = name;
    } else if (*pattern == '?' || *pattern == *name) {
      ++pattern;
      ++name;
    } else if (starPattern != nullptr) {
      pattern = starPattern;
      name = ++starName;
    } else {
      return false;
    }
  }
  while (*pattern == '*') ++pattern;
  return *pattern == '\0';
}

// The file search's own readings of a mask: "*.*" takes every name, and a mask
// ending in "." takes the names without an extension.
bool LongNameFits(const std::string& pattern, const std::string& name) {
  if (pattern == "*.*" || pattern == "*") return true;
  if (pattern.size() > 1 && pattern.back() == '.' && name.find('.') == std::string::npos) {
    return Fits(pattern.substr(0, pattern.size() - 1).c_str(), name.c_str());
  }
  return Fits(pattern.c_str(), name.c_str());
}

}  // namespace

std::vector<std::string> ListMatchingFiles(const std::string& directory, const std::string& mask) {
  std::vector<std::string> names;
  std::stringstream split(mask);
  for (std::string pattern; std::getline(split, pattern, ';');) {
    if (pattern.empty()) continue;
    const std::string upperPattern = Upper(pattern);
    WIN32_FIND_DATAA found;
    const HANDLE search = FindFirstFileA(PathJoined(directory, pattern).c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) continue;
    do {
      if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) continue;
      const std::string name = found.cFileName;
      if (LongNameFits(upperPattern, Upper(name))) names.push_back(name);
    } while (FindNextFileA(search, &found));
    FindClose(search);
  }
  // By name, letter case aside; names that differ only in case keep byte order.
  std::sort(names.begin(), names.end(), [](const std::string& a, const std::string& b) {
    const std::string ua = Upper(a), ub = Upper(b);
    return ua != ub ? ua < ub : a < b;
  });
  names.erase(std::unique(names.begin(), names.end()), names.end());
  return names;
}

bool ChangeCurrentDirectory(const std::string& directory) {
  return !directory.empty() && SetCurrentDirectoryA(directory.c_str()) != 0;
}

// Windows has no locales of the C library's kind: its output is read in a
// single-byte set.
bool LocaleIsUtf8() {
  return false;
}

// The lock: a critical section.

struct Mutex::State {
  CRITICAL_SECTION Section;
};

Mutex::Mutex() : state_(std::make_unique<State>()) {
  InitializeCriticalSection(&state_->Section);
}
Mutex::~Mutex() {
  DeleteCriticalSection(&state_->Section);
}
void Mutex::Lock() {
  EnterCriticalSection(&state_->Section);
}
void Mutex::Unlock() {
  LeaveCriticalSection(&state_->Section);
}

// The program file, read in order through the C++ runtime.

struct ProgramFile::State {
  std::ifstream Stream;
};

ProgramFile::ProgramFile() : state_(std::make_unique<State>()) {}
ProgramFile::~ProgramFile() = default;

bool ProgramFile::Open(const std::string& path, std::uint64_t& length) {
  return OpenForReading(path, state_->Stream, length);
}

std::size_t ProgramFile::Read(char* data, std::size_t size) {
  return ReadBlock(state_->Stream, data, size);
}

bool ProgramFile::Seek(std::uint64_t position) {
  state_->Stream.clear();
  return static_cast<bool>(state_->Stream.seekg(static_cast<std::streamoff>(position)));
}

bool ProgramFile::Failed() const {
  return state_->Stream.bad();
}

// The new program while it is being written: a file of its own beside the
// output, removed unless it is given the output's name.

struct PendingOutput::State {
  std::FILE* File = nullptr;
  std::string Path;
};

namespace {

// Opens a file for binary writing only when no file of that name exists. The C
// runtime the Windows programs link (msvcrt.dll) has no exclusive mode "x":
// Windows refuses the mode as invalid, so no program could ever be built, and
// Wine ignores it and opens an existing file. The name is looked up first.
std::FILE* OpenNewFile(const std::string& path) {
  if (NameTaken(path)) return nullptr;
  return std::fopen(path.c_str(), "wb");
}

}  // namespace

PendingOutput::PendingOutput() : state_(std::make_unique<State>()) {}

PendingOutput::~PendingOutput() {
  Discard();
}

// Creates a file whose name no existing file has, so no file of the user's is
// ever opened for writing.
bool PendingOutput::Create(const std::string& output) {
  state_->Path = TakeFreeName(
      output, [this](const std::string& name) { return (state_->File = OpenNewFile(name)) != nullptr; });
  if (state_->Path.empty()) return false;
  std::setvbuf(state_->File, nullptr, _IOFBF, kBlockSize);
  return true;
}

// The unit of the file system's storage; only the Linux copy makes use of it.
std::uint64_t PendingOutput::BlockSize() const {
  return 4096;
}

bool PendingOutput::Write(const void* data, std::size_t size) {
  return std::fwrite(data, 1, size, state_->File) == size;
}

// Windows has no copy of the kernel's: every byte goes through the buffer.
std::uint64_t PendingOutput::CopyInKernel(ProgramFile&, std::uint64_t) {
  return 0;
}

// Windows has no execute permissions: any program file can be started.
void PendingOutput::TakeExecutePermissions(const std::string&) {}

// Closes the file once every byte is on the disk; false when some byte did not
// reach it.
bool PendingOutput::Sync() {
  const bool written = std::fflush(state_->File) == 0 && _commit(_fileno(state_->File)) == 0;
  const bool closed = std::fclose(state_->File) == 0;
  state_->File = nullptr;
  return written && closed;
}

// Gives the file the output's name, replacing a file of that name.
bool PendingOutput::MoveTo(const std::string& output) {
  if (!RenameReplacing(state_->Path, output)) return false;
  state_->Path.clear();
  return true;
}

void PendingOutput::Discard() {
  if (state_->File != nullptr) std::fclose(state_->File);
  state_->File = nullptr;
  if (!state_->Path.empty()) RemoveFile(state_->Path);
}

// The session log's file, through the C runtime.

int OpenLogFile(const std::string& file, std::string& why) {
  const int handle =
      _open(file.c_str(), _O_WRONLY | _O_APPEND | _O_CREAT | _O_BINARY | _O_NOINHERIT, _S_IREAD | _S_IWRITE);
  if (handle < 0) why = std::strerror(errno);
  return handle;
}

std::ptrdiff_t WriteLogFile(int file, const char* bytes, std::size_t count) {
  return _write(file, bytes, static_cast<unsigned>(count));
}

void CloseLogFile(int file) {
  _close(file);
}
