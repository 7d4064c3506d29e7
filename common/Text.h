// Small text helpers shared by the window and the units: 8-bit texts, printf-style
// fixed widths, and the byte order comparison used for identifications and revisions.
#pragma once

#include <cstddef>
#include <string>

#if defined(__MINGW32__)
// mingw-w64 formats with its own C99 printf, so check against that, not the
// Microsoft runtime's.
#define FLASH_PRINTF(f, a) __attribute__((format(gnu_printf, f, a)))
#elif defined(__GNUC__)
#define FLASH_PRINTF(f, a) __attribute__((format(printf, f, a)))
#else
#define FLASH_PRINTF(f, a)
#endif

// printf into a std::string.
std::string Format(const char* format, ...) FLASH_PRINTF(1, 2);

// The text of a fixed-width field: its bytes up to the first zero byte, never
// more than width bytes. Bytes past the terminator never reach the text.
std::string FieldText(const char* field, std::size_t width);

// Byte by byte as unsigned values; when one is a prefix of the other the shorter
// is the smaller. Negative, zero or positive like strcmp.
int CompareBytes(const std::string& a, const std::string& b);

// A text from outside shown on one line: a line break as \n, a backslash as \\,
// other control characters as \xHH.
std::string EscapedText(const std::string& text);
