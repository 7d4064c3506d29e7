#include "common/Files.h"

#if defined(_WIN32)

#include <windows.h>

#include <algorithm>
#include <cctype>
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

#else

#include <filesystem>
#include <system_error>

namespace fs = std::filesystem;

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

#endif
