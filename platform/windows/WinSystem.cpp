#include "platform/windows/WinSystem.h"

WinSystem& System() {
  static WinSystem table;
  return table;
}

std::string SystemErrorText(DWORD error) {
  // Inserts are left as they stand: no arguments go with the request, and a
  // system text with "%1" in it must not make the formatter read any.
  char text[80] = {};
  const DWORD length = System().FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                               nullptr, error, 0, text, sizeof text, nullptr);
  if (length == 0 || length >= sizeof text) return {};
  return std::string(text, length);
}

std::string SystemReasonText(DWORD error) {
  char text[256] = {};
  DWORD length = System().FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                                         error, 0, text, sizeof text, nullptr);
  if (length >= sizeof text) length = 0;
  while (length > 0 && (text[length - 1] == '\r' || text[length - 1] == '\n' || text[length - 1] == ' '))
    --length;
  if (length > 0 && text[length - 1] == '.') --length;
  if (length == 0) return "error " + std::to_string(error);
  return std::string(text, length);
}

namespace {

// A function of USER32.DLL, when the system has it.
FARPROC User32Function(const char* name) {
  const HMODULE user32 = GetModuleHandleA("user32.dll");
  return user32 != nullptr ? GetProcAddress(user32, name) : nullptr;
}

}  // namespace

BOOL WINAPI WinSystem::LookedUpShutdownBlockReasonCreate(HWND window, LPCWSTR reason) {
  using Function = BOOL(WINAPI*)(HWND, LPCWSTR);
  static const auto create =
      reinterpret_cast<Function>(reinterpret_cast<void (*)()>(User32Function("ShutdownBlockReasonCreate")));
  if (create == nullptr) {
    SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
    return FALSE;
  }
  return create(window, reason);
}

BOOL WINAPI WinSystem::LookedUpShutdownBlockReasonDestroy(HWND window) {
  using Function = BOOL(WINAPI*)(HWND);
  static const auto destroy =
      reinterpret_cast<Function>(reinterpret_cast<void (*)()>(User32Function("ShutdownBlockReasonDestroy")));
  if (destroy == nullptr) {
    SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
    return FALSE;
  }
  return destroy(window);
}
