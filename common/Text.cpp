#include "common/Text.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <vector>

std::string Format(const char* format, ...) {
  va_list args;
  va_start(args, format);
  va_list copy;
  va_copy(copy, args);
  const int needed = std::vsnprintf(nullptr, 0, format, copy);
  va_end(copy);
  std::string result;
  if (needed > 0) {
    std::vector<char> buffer(static_cast<std::size_t>(needed) + 1);
    std::vsnprintf(buffer.data(), buffer.size(), format, args);
    result.assign(buffer.data(), static_cast<std::size_t>(needed));
  }
  va_end(args);
  return result;
}

std::string FieldText(const char* field, std::size_t width) {
  const void* end = std::memchr(field, 0, width);
  const std::size_t length = end ? static_cast<std::size_t>(static_cast<const char*>(end) - field) : width;
  return std::string(field, length);
}

int CompareBytes(const std::string& a, const std::string& b) {
  const std::size_t n = a.size() < b.size() ? a.size() : b.size();
  for (std::size_t i = 0; i < n; ++i) {
    const auto x = static_cast<unsigned char>(a[i]);
    const auto y = static_cast<unsigned char>(b[i]);
    if (x != y) return x < y ? -1 : 1;
  }
  if (a.size() == b.size()) return 0;
  return a.size() < b.size() ? -1 : 1;
}

std::string EscapedText(const std::string& text) {
  std::string shown;
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (c == '\n') {
      shown += "\\n";
    } else if (c == '\\') {
      shown += "\\\\";
    } else if (byte < 0x20 || byte == 0x7F) {
      shown += Format("\\x%02X", byte);
    } else {
      shown += c;
    }
  }
  return shown;
}
