// Calls the static C and C++ runtime makes that Windows 98 SE and ME do not
// have, answered here with calls they do have. The linker takes these
// definitions in place of the DLL imports (this file is linked as an object of the
// 32-bit programs, ahead of the runtime's libraries), so the programs' import
// tables name nothing those systems lack and their loader starts them.
#include <io.h>
#include <sys/stat.h>
#include <windows.h>

#include <cerrno>
#include <string>

namespace {

// libstdc++'s file streams ask for an open file's kind and size (how much is left
// to read). _fstat64 came with the C runtime of Windows 2000/XP; the handle's file
// type and size give the same answers on every Windows.
int __cdecl FileStatus(int descriptor, struct _stat64* info) {
  const auto file = reinterpret_cast<HANDLE>(_get_osfhandle(descriptor));
  if (file == INVALID_HANDLE_VALUE || info == nullptr) {
    errno = EBADF;
    return -1;
  }
  *info = {};
  info->st_nlink = 1;
  switch (GetFileType(file)) {
    case FILE_TYPE_DISK: {
      DWORD high = 0;
      // A size whose low half is all ones is told from a failure by the error.
      SetLastError(NO_ERROR);
      const DWORD low = GetFileSize(file, &high);
      if (low == INVALID_FILE_SIZE && GetLastError() != NO_ERROR) {
        errno = EBADF;
        return -1;
      }
      info->st_mode = _S_IFREG | _S_IREAD | _S_IWRITE;
      info->st_size = static_cast<__int64>((static_cast<unsigned __int64>(high) << 32) | low);
      return 0;
    }
    case FILE_TYPE_CHAR:
      info->st_mode = _S_IFCHR | _S_IREAD | _S_IWRITE;
      return 0;
    case FILE_TYPE_PIPE:
      info->st_mode = _S_IFIFO | _S_IREAD | _S_IWRITE;
      return 0;
    default:
      errno = EBADF;
      return -1;
  }
}

// libgcc's locks (threads, exception frames, thread-local data) wait on unnamed
// semaphores, which they create with the Unicode call. Windows 98 exports it only
// as a stub that fails; the ANSI call is the same for an unnamed semaphore.
HANDLE WINAPI UnnamedSemaphore(LPSECURITY_ATTRIBUTES security, LONG initial, LONG maximum, LPCWSTR name) {
  if (name != nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  return CreateSemaphoreA(security, initial, maximum, nullptr);
}

// The C runtime's additions (the code page of the locale, rand_s) look up a
// system DLL by a Unicode name. Windows 98 exports both calls only as stubs that
// fail; the ANSI calls find the same DLLs.
std::string AnsiName(LPCWSTR name) {
  char text[MAX_PATH] = {};
  if (WideCharToMultiByte(CP_ACP, 0, name, -1, text, sizeof text, nullptr, nullptr) == 0) return {};
  return text;
}

HMODULE WINAPI ModuleByUnicodeName(LPCWSTR name) {
  if (name == nullptr) return GetModuleHandleA(nullptr);
  const std::string ansi = AnsiName(name);
  return ansi.empty() ? nullptr : GetModuleHandleA(ansi.c_str());
}

HMODULE WINAPI LibraryByUnicodeName(LPCWSTR name) {
  const std::string ansi = name == nullptr ? std::string() : AnsiName(name);
  if (ansi.empty()) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  return LoadLibraryA(ansi.c_str());
}

}  // namespace

// The import table entries the runtime's objects refer to.
extern "C" {
extern __attribute__((used)) void* const ImportedFileStatus __asm__("__imp___fstat64") =
    reinterpret_cast<void*>(&FileStatus);
extern __attribute__((used)) void* const ImportedSemaphore __asm__("__imp__CreateSemaphoreW@16") =
    reinterpret_cast<void*>(&UnnamedSemaphore);
extern __attribute__((used)) void* const ImportedModuleHandle __asm__("__imp__GetModuleHandleW@4") =
    reinterpret_cast<void*>(&ModuleByUnicodeName);
extern __attribute__((used)) void* const ImportedLoadLibrary __asm__("__imp__LoadLibraryW@4") =
    reinterpret_cast<void*>(&LibraryByUnicodeName);
}
