// Small files of the system (sysfs attributes and the like), read and written
// whole, the way input from outside is read: bounded, never blocking.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

#include "platform/linux/Platform.h"

bool ReadSmallFile(const std::string& path, std::size_t limit, std::string& text, int& error) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  if (fd < 0) {
    error = errno;
    return false;
  }
  // A FIFO or a device would block, or never end.
  struct stat status {};
  if (::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
    error = EINVAL;
    ::close(fd);
    return false;
  }
  std::vector<char> buffer(limit + 1);
  std::size_t length = 0;
  while (length < buffer.size()) {
    const ssize_t n = ::read(fd, buffer.data() + length, buffer.size() - length);
    if (n == 0) break;
    if (n < 0) {
      if (errno == EINTR) continue;
      error = errno;
      ::close(fd);
      return false;
    }
    length += static_cast<std::size_t>(n);
  }
  ::close(fd);
  if (length > limit) {
    error = EFBIG;
    return false;
  }
  text.assign(buffer.data(), length);
  return true;
}

bool WriteSmallFile(const std::string& path, const std::string& text, int& error) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
  if (fd < 0) {
    error = errno;
    return false;
  }
  const ssize_t n = ::write(fd, text.data(), text.size());
  if (n != static_cast<ssize_t>(text.size())) error = n < 0 ? errno : EIO;
  if (::close(fd) != 0 && n >= 0 && error == 0) error = errno;
  return n == static_cast<ssize_t>(text.size()) && error == 0;
}
