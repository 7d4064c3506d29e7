#include "platform/windows/WinSystem.h"

WinSystem& System() {
  static WinSystem table;
  return table;
}

namespace {

// The system's text for an error number from a buffer of Size bytes; "" when
// the system has none or it does not fit.
template <std::size_t Size>
std::string SystemText(DWORD error) {
  // Inserts are left as they stand: no arguments go with the request, and a
  // system text with "%1" in it must not make the formatter read any.
  char text[Size] = {};
  const DWORD length = System().FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                               nullptr, error, 0, text, sizeof text, nullptr);
  if (length == 0 || length >= sizeof text) return {};
  return std::string(text, length);
}

}  // namespace

std::string SystemErrorText(DWORD error) {
  return SystemText<80>(error);
}

std::string SystemReasonText(DWORD error) {
  std::string text = SystemText<256>(error);
  while (!text.empty() && (text.back() == '\r' || text.back() == '\n' || text.back() == ' ')) text.pop_back();
  if (!text.empty() && text.back() == '.') text.pop_back();
  if (text.empty()) return "error " + std::to_string(error);
  return text;
}

void HardenDllSearch(const WinSystem& system) {
  using Function = BOOL(WINAPI*)(DWORD);
  constexpr DWORD kSearchSystem32 = 0x00000800;  // LOAD_LIBRARY_SEARCH_SYSTEM32
  const HMODULE kernel32 = GetModuleHandleA("kernel32.dll");
  if (kernel32 == nullptr) return;
  const auto setDirectories = reinterpret_cast<Function>(
      reinterpret_cast<void (*)()>(system.GetProcAddress(kernel32, "SetDefaultDllDirectories")));
  if (setDirectories != nullptr) setDirectories(kSearchSystem32);
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
