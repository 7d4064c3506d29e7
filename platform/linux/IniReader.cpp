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
// - lines of any length are read whole.
#include <ini.h>

#include <map>
#include <string>
#include <utility>

#include "platform/linux/Platform.h"

namespace {

constexpr int kLongestLine = 1 << 16;

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
    // Debian's inih takes its parsing options at run time.
    ini_allow_multiline = false;
    ini_allow_inline_comments = false;
    ini_use_stack = false;
    ini_allow_realloc = true;
    ini_max_line = kLongestLine;
    // Malformed lines are skipped (a positive result names the first); only a
    // file that cannot be opened or read fails.
    return ini_parse(path.c_str(), &InihReader::Take, this) >= 0;
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
