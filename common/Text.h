// Small text helpers shared by the window and the units: 8-bit texts, printf-style
// fixed widths, and the byte order comparison used for identifications and revisions.
#pragma once

#include <cstddef>
#include <string>

// The compiler checks the format strings. The choice is the compiler's, not the
// system's, and stays with the declarations it marks.
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

// A text from outside the program (a drive's reply, a file name or path, a model
// list or description value) as it may be written wherever a terminal may show
// it: the bytes that would steer the terminal instead of being shown are written
// as \xHH. Those are the C0 controls (a line break too, unless kept), DEL and the
// C1 controls: in UTF-8 the characters U+0080 to U+009F and any byte 80 to 9F
// that is not part of a valid sequence, in a single-byte set every byte 80 to 9F.
std::string EscapedText(const std::string& text, bool utf8, bool keepLineBreaks = false);
// The same in the character set of the locale.
std::string EscapedText(const std::string& text);

// A text as a JSON string, quotes included, valid UTF-8 whatever the text holds:
// the C0 and C1 controls, DEL, the quote and the backslash are escaped, valid
// UTF-8 characters stay, and every other byte is the character of its value
// (as Latin-1 reads it), escaped as \u00HH.
std::string JsonText(const std::string& text);
