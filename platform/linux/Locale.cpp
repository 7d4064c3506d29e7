#include <cctype>

#include "app/Toolkit.h"

std::string LocaleUpperCase(const std::string& text) {
  // A Turkish locale must never turn "i" into a byte outside ASCII; bytes above
  // ASCII follow the locale's single-byte rules, which leave them alone in UTF-8
  // and other multi-byte locales.
  std::string result = text;
  for (char& c : result) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte >= 'a' && byte <= 'z') {
      c = static_cast<char>(byte - 'a' + 'A');
    } else if (byte >= 0x80) {
      const int upper = std::toupper(byte);
      if (upper >= 0x80 && upper <= 0xFF) c = static_cast<char>(upper);
    }
  }
  return result;
}
