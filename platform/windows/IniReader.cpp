// The model list file read with the system's own INI reader,
// GetPrivateProfileStringA. What it does with a file is what Windows does:
// blanks around values are dropped, one pair of quotation marks around a value
// is taken off, section and key names match without regard to case, lines
// starting with ';' are comments, and "Key=" gives a present, empty value.
#include <windows.h>

#include <string>

#include "platform/windows/Platform.h"

namespace {

// The system reads a relative name from the Windows directory: give it the full path.
std::string FullPath(const std::string& path) {
  char small[MAX_PATH];
  const DWORD needed = GetFullPathNameA(path.c_str(), sizeof small, small, nullptr);
  if (needed == 0) return path;
  if (needed < sizeof small) return small;
  std::string full(needed, '\0');
  const DWORD written = GetFullPathNameA(path.c_str(), needed, full.data(), nullptr);
  if (written == 0 || written >= needed) return path;
  full.resize(written);
  return full;
}

class ProfileReader : public IniReader {
 public:
  bool Open(const std::string& path) override {
    path_.clear();
    const std::string full = FullPath(path);
    const HANDLE file = CreateFileA(full.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    CloseHandle(file);
    const DWORD attributes = GetFileAttributesA(full.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) return false;
    path_ = full;
    return true;
  }

  std::string ReadString(const std::string& section, const std::string& key,
                         const std::string& def) override {
    if (path_.empty()) return def;
    // A value that fills the buffer may have been cut: read it again with more room.
    for (DWORD size = 256;; size *= 4) {
      std::string value(size, '\0');
      const DWORD length = GetPrivateProfileStringA(section.c_str(), key.c_str(), def.c_str(), value.data(),
                                                    size, path_.c_str());
      if (length + 1 < size || size >= (1u << 24)) {
        value.resize(length);
        return value;
      }
    }
  }

  void Close() override { path_.clear(); }

 private:
  std::string path_;
};

}  // namespace

std::unique_ptr<IniReader> MakeIniReader() {
  return std::make_unique<ProfileReader>();
}
