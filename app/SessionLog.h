// The session log of --log FILE: a transcript appended to a file, one line per
// event — the start, the program and its package, every open and command block
// sent to a drive (direction, length, time-out, status, sense, system error and
// duration; never the data bytes), every dialog with the answer given, the end.
#pragma once

#include <fstream>
#include <memory>
#include <string>

#include "app/Toolkit.h"
#include "common/Mutex.h"
#include "device/Transport.h"

class SessionLog {
 public:
  // Opens the file for appending; false with the reason in error.
  bool Open(const std::string& file, std::string& error);
  // Appends one line (the text holds no line break) and flushes it, so that the
  // file keeps everything up to a crash. Commands may log from a worker thread.
  void Write(const std::string& line);

 private:
  Mutex mutex_;
  std::ofstream out_;
};

// The time of day in UTC, "2026-12-08 13:00:57 UTC".
std::string UtcTimeText();

// A transport that logs every open and command, then hands them on unchanged.
std::unique_ptr<Transport> MakeLoggingTransport(Transport& inner, SessionLog& log);
// A toolkit that logs every dialog and message box with its answer, and is
// otherwise the toolkit it wraps.
std::unique_ptr<Toolkit> MakeLoggingToolkit(Toolkit& inner, SessionLog& log);
