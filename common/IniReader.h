// The seam to the platform's INI reader. The model list file is read through a
// well-kept reader (inih on Linux, GetPrivateProfileStringA on Windows), never by
// a parser of our own.
#pragma once

#include <functional>
#include <memory>
#include <string>

class IniReader {
 public:
  virtual ~IniReader() = default;
  // Opens the file for reading; false when it cannot be read.
  virtual bool Open(const std::string& path) = 0;
  // The value of key in section, or def when the key is absent.
  virtual std::string ReadString(const std::string& section, const std::string& key,
                                 const std::string& def) = 0;
  virtual void Close() = 0;
};

using IniReaderFactory = std::function<std::unique_ptr<IniReader>()>;
