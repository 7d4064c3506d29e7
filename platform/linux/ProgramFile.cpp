#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <system_error>

#include "platform/linux/Platform.h"

namespace {

bool ExecutableFile(const std::string& path) {
  struct stat status {};
  return stat(path.c_str(), &status) == 0 && S_ISREG(status.st_mode) && access(path.c_str(), X_OK) == 0;
}

// The path with no link left in it, or as it stands made absolute.
std::string Resolved(const std::string& path) {
  std::error_code error;
  std::filesystem::path file = std::filesystem::canonical(path, error);
  if (error) file = std::filesystem::absolute(path, error);
  return error ? path : file.string();
}

}  // namespace

std::string ProgramOwnFile(const std::string& started, std::string& problem, const std::string& self) {
  std::error_code error;
  const std::filesystem::path file = std::filesystem::read_symlink(self, error);
  if (!error) return file.string();
  // Without /proc: the name the program was started by, as the shell found it.
  if (started.find('/') != std::string::npos) {
    if (ExecutableFile(started)) return Resolved(started);
    problem = self + " cannot be read, and " + started + " is not an executable file";
    return {};
  }
  const char* path = std::getenv("PATH");
  const std::string directories = path != nullptr ? path : "";
  for (std::size_t begin = 0; !started.empty() && begin <= directories.size();) {
    std::size_t end = directories.find(':', begin);
    if (end == std::string::npos) end = directories.size();
    const std::string directory = directories.substr(begin, end - begin);  // empty: the working directory
    const std::string candidate = (directory.empty() ? std::string(".") : directory) + "/" + started;
    if (ExecutableFile(candidate)) return Resolved(candidate);
    begin = end + 1;
  }
  problem = self + " cannot be read, and " + started + " is not on PATH";
  return {};
}
