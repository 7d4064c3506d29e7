// Files as the Windows file search lists them: FindFirstFileA with the mask,
// plain files only, names compared without regard to letter case. The search
// also matches a file by its short 8.3 alias ("*.BIN" finds "IMAGE.BINX" through
// "IMAGE~1.BIN"); a name is kept only when its own long name fits the mask.
#include <windows.h>

#include <algorithm>
#include <sstream>

#include "app/Toolkit.h"
#include "common/Files.h"

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
