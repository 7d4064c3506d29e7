// The model list file read with inih (Debian's libinih). The file is read whole
// when it is opened; the values are then looked up by section and key.
//
// How the file is read, chosen so that a model list file gives the same values
// here as through the Windows INI reader:
// - blanks around section names, key names and values are dropped, blanks inside
//   a value are kept; line ends may be LF or CR LF;
// - section and key names match without regard to letter case (ASCII);
// - a line starting with ';' or '#' is a comment; a ';' or '#' later in a line
//   belongs to the value (no comments at the end of a line);
// - a value in matching double or single quotation marks is taken without them;
// - "Key=" gives a present, empty value; a line without '=' is ignored (inih also
//   takes "Key: value", its concession to other INI dialects);
// - an indented line is a line of its own, never the continuation of a value;
// - when a key appears twice in a section, the first value counts;
// - lines of any length are read whole (inih's line buffer is made as long as the
//   file's longest line); a NUL byte ends the text of its line.
#include <ini.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <utility>

#include "platform/linux/Platform.h"

namespace {

constexpr std::size_t kShortestBuffer = 1 << 16;
// The largest model list file read: the Windows reader's limit for one value.
constexpr std::size_t kLargestFile = std::size_t{16} << 20;

// The file's bytes, handed to inih a line at a time the way fgets hands them,
// except that a NUL byte ends its line: inih measures what it got by the first
// NUL, and would take the rest of the line behind it for a line of its own.
struct Lines {
  const std::string& Text;
  std::size_t At = 0;
};

char* NextLine(char* buffer, int room, void* stream) {
  Lines& lines = *static_cast<Lines*>(stream);
  if (lines.At >= lines.Text.size() || room < 2) return nullptr;
  const char* from = lines.Text.data() + lines.At;
  std::size_t take = std::min(lines.Text.size() - lines.At, static_cast<std::size_t>(room) - 1);
  if (const void* newline = std::memchr(from, '\n', take))
    take = static_cast<std::size_t>(static_cast<const char*>(newline) - from) + 1;
  std::size_t next = lines.At + take;
  if (const void* nul = std::memchr(from, '\0', take)) {
    take = static_cast<std::size_t>(static_cast<const char*>(nul) - from);
    next = std::min(lines.Text.find('\n', lines.At + take), lines.Text.size() - 1) + 1;
  }
  std::memcpy(buffer, from, take);
  buffer[take] = '\0';
  lines.At = next;
  return buffer;
}

// The buffer inih needs for the longest line of text: the line with its line
// end and the terminating NUL.
std::size_t LineBufferFor(const std::string& text) {
  std::size_t longest = 0;
  for (std::size_t at = 0; at < text.size();) {
    const std::size_t end = std::min(text.find('\n', at), text.size() - 1) + 1;
    longest = std::max(longest, end - at);
    at = end;
  }
  return std::max(longest + 1, kShortestBuffer);
}

std::string Trimmed(const std::string& text) {
  const auto first = text.find_first_not_of(" \t");
  if (first == std::string::npos) return {};
  const auto last = text.find_last_not_of(" \t");
  return text.substr(first, last - first + 1);
}

std::string Lowered(std::string text) {
  for (char& c : text) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return text;
}

std::string Unquoted(std::string value) {
  if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') && value.back() == value.front()) {
    value = value.substr(1, value.size() - 2);
  }
  return value;
}

std::string LookupKey(const std::string& section, const std::string& key) {
  return Lowered(Trimmed(section)) + '\n' + Lowered(Trimmed(key));
}

class InihReader : public IniReader {
 public:
  bool Open(const std::string& path) override {
    values_.clear();
    std::ifstream file(path, std::ios::binary);
    if (!file.is_open()) return false;
    // Read bounded: a model list is small, and a name that leads to a device
    // (/dev/zero) or an endless pipe must not read until memory runs out.
    std::string text(kLargestFile + 1, '\0');
    file.read(text.data(), static_cast<std::streamsize>(text.size()));
    if (file.bad() || static_cast<std::size_t>(file.gcount()) > kLargestFile) return false;
    text.resize(static_cast<std::size_t>(file.gcount()));
    const std::size_t buffer = LineBufferFor(text);
    if (buffer > INT_MAX) return false;
    // Debian's inih takes its parsing options at run time.
    ini_allow_multiline = false;
    ini_allow_inline_comments = false;
    ini_use_stack = false;
    ini_allow_realloc = true;
    ini_max_line = static_cast<int>(buffer);
    // Malformed lines are skipped (a positive result names the first); only a
    // file that cannot be read fails.
    Lines lines{text};
    return ini_parse_stream(&NextLine, &lines, &InihReader::Take, this) >= 0;
  }

  std::string ReadString(const std::string& section, const std::string& key,
                         const std::string& def) override {
    const auto found = values_.find(LookupKey(section, key));
    return found == values_.end() ? def : found->second;
  }

  void Close() override { values_.clear(); }

 private:
  static int Take(void* user, const char* section, const char* name, const char* value) {
    auto& values = static_cast<InihReader*>(user)->values_;
    values.emplace(LookupKey(section, name), Unquoted(value != nullptr ? value : ""));
    return 1;
  }

  std::map<std::string, std::string> values_;
};

}  // namespace

std::unique_ptr<IniReader> MakeIniReader() {
  return std::make_unique<InihReader>();
}
