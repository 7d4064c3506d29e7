#include "platform/linux/QtFaceLoader.h"

#include <dlfcn.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <sstream>

namespace {

std::string Environment(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? value : "";
}

bool WriteAll(int fd, const unsigned char* bytes, std::size_t size) {
  while (size > 0) {
    const ssize_t written = write(fd, bytes, size);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return false;
    bytes += written;
    size -= static_cast<std::size_t>(written);
  }
  return true;
}

}  // namespace

bool WindowMayOpen() {
  if (!Environment("DISPLAY").empty() || !Environment("WAYLAND_DISPLAY").empty()) return true;
  std::stringstream platforms(Environment("QT_QPA_PLATFORM"));
  for (std::string entry; std::getline(platforms, entry, ';');) {
    std::string name = entry.substr(0, entry.find(':'));
    for (char& c : name) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    if (!name.empty() && name != "offscreen" && name != "minimal") return true;
  }
  return false;
}

FlashutilQtRun* LoadQtFace(const unsigned char* object, std::size_t size, std::string& error) {
  // A memory file: nothing is written to a disk, and nothing is left behind.
  const int fd = memfd_create("flashutil-qt.so", MFD_CLOEXEC);
  if (fd < 0) {
    error = std::string("memfd_create: ") + std::strerror(errno);
    return nullptr;
  }
  if (!WriteAll(fd, object, size)) {
    error = std::string("writing the memory file: ") + std::strerror(errno);
    close(fd);
    return nullptr;
  }
  // The loader maps the object through /proc's name for the descriptor; once it
  // is mapped the descriptor is no longer needed.
  const std::string path = "/proc/self/fd/" + std::to_string(fd);
  void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  close(fd);
  if (handle == nullptr) {
    const char* reason = dlerror();
    error = reason != nullptr ? reason : "dlopen failed";
    return nullptr;
  }
  auto* entry = reinterpret_cast<FlashutilQtRun*>(dlsym(handle, FLASHUTIL_QT_FACE_ENTRY));
  if (entry == nullptr) {
    const char* reason = dlerror();
    error = reason != nullptr ? reason : "no entry " FLASHUTIL_QT_FACE_ENTRY;
    dlclose(handle);
  }
  return entry;
}
