// Files as a Linux user expects them listed: shell wildcards (fnmatch), matched
// case-sensitively, plain files only, sorted by name.
#include <fnmatch.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <sstream>
#include <system_error>

#include "app/Toolkit.h"

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
