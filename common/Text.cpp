#include "common/Text.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <vector>

#include "common/System.h"

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

namespace {

// The length of the valid UTF-8 sequence that starts at `at`, 0 when none does.
std::size_t Utf8Length(const std::string& text, std::size_t at) {
  const auto byte = [&text](std::size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char lead = byte(at);
  std::size_t length = 0;
  unsigned char low = 0x80, high = 0xBF;  // the second byte's range
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  } else {
    return 0;
  }
  if (at + length > text.size() || byte(at + 1) < low || byte(at + 1) > high) return 0;
  for (std::size_t i = 2; i < length; ++i) {
    if (byte(at + i) < 0x80 || byte(at + i) > 0xBF) return 0;
  }
  return length;
}

}  // namespace

std::string EscapedText(const std::string& text, bool utf8, bool keepLineBreaks) {
  std::string shown;
  shown.reserve(text.size());
  const auto escape = [&shown](unsigned char byte) { shown += Format("\\x%02X", byte); };
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto byte = static_cast<unsigned char>(text[i]);
    const std::size_t length = utf8 ? Utf8Length(text, i) : 0;
    if (byte == '\n' && keepLineBreaks) {
      shown += '\n';
    } else if (byte < 0x20 || byte == 0x7F || (byte >= 0x80 && byte <= 0x9F)) {
      escape(byte);  // a C0 or C1 control, or a byte that belongs to no UTF-8 character
    } else if (length == 2 && byte == 0xC2 && static_cast<unsigned char>(text[i + 1]) <= 0x9F) {
      escape(byte);  // U+0080 to U+009F
      escape(static_cast<unsigned char>(text[++i]));
    } else if (length > 1) {
      shown.append(text, i, length);
      i += length - 1;
    } else {
      shown += text[i];
    }
  }
  return shown;
}

std::string EscapedText(const std::string& text) {
  return EscapedText(text, LocaleIsUtf8());
}

std::string JsonText(const std::string& text) {
  std::string json = "\"";
  json.reserve(text.size() + 2);
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto byte = static_cast<unsigned char>(text[i]);
    const std::size_t length = Utf8Length(text, i);
    if (byte == '"' || byte == '\\') {
      json += '\\';
      json += text[i];
    } else if (byte < 0x20 || byte == 0x7F || (byte >= 0x80 && length == 0)) {
      json += Format("\\u%04X", byte);  // a control, or a byte of no UTF-8 character
    } else if (length == 2 && byte == 0xC2 && static_cast<unsigned char>(text[i + 1]) <= 0x9F) {
      json += Format("\\u%04X", static_cast<unsigned char>(text[++i]));  // U+0080 to U+009F
    } else if (length > 1) {
      json.append(text, i, length);
      i += length - 1;
    } else {
      json += text[i];
    }
  }
  return json + '"';
}
