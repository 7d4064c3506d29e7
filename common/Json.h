// A JSON document written as it goes, on one line: objects and arrays opened and
// closed in order, the commas between their members put in by the writer. Texts
// go through JsonText, so a document is valid UTF-8 and carries no control
// character raw, whatever a drive or a file name holds.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "common/Text.h"

class JsonWriter {
 public:
  JsonWriter& Object() { return Open('{'); }
  JsonWriter& Array() { return Open('['); }
  JsonWriter& End() {
    text_ += open_.back() == '{' ? '}' : ']';
    open_.pop_back();
    first_ = false;
    return *this;
  }
  // The name of the next member of an object.
  JsonWriter& Key(const char* name) {
    Separate();
    text_ += JsonText(name) + ':';
    first_ = true;  // the value follows without a comma
    return *this;
  }
  JsonWriter& Text(const std::string& value) { return Raw(JsonText(value)); }
  JsonWriter& Number(std::int64_t value) { return Raw(std::to_string(value)); }
  // Seconds and such, to the millisecond.
  JsonWriter& Decimal(double value) { return Raw(Format("%.3f", value)); }
  JsonWriter& Boolean(bool value) { return Raw(value ? "true" : "false"); }
  JsonWriter& Null() { return Raw("null"); }
  // A text, or null when it is empty.
  JsonWriter& TextOrNull(const std::string& value) { return value.empty() ? Null() : Text(value); }

  // The document, ended by a line break.
  std::string Document() const { return text_ + '\n'; }

 private:
  JsonWriter& Open(char bracket) {
    Separate();
    text_ += bracket;
    open_.push_back(bracket);
    first_ = true;
    return *this;
  }
  JsonWriter& Raw(const std::string& value) {
    Separate();
    text_ += value;
    return *this;
  }
  void Separate() {
    if (!first_ && !open_.empty()) text_ += ',';
    first_ = false;
  }

  std::string text_;
  std::vector<char> open_;
  bool first_ = true;
};
