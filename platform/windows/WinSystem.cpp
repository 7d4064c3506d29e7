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
