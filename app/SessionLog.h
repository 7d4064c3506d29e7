// The session log of --log FILE: a transcript appended to a file, one line per
// event — the start, the program and its package, every open and command block
// sent to a drive (direction, length, time-out, status, sense, system error and
// duration; never the data bytes), every dialog with the answer given, the end.
#pragma once

#include <memory>
#include <string>

#include "app/Toolkit.h"
#include "common/System.h"
#include "device/Transport.h"

class SessionLog {
 public:
  SessionLog() = default;
  SessionLog(const SessionLog&) = delete;
  SessionLog& operator=(const SessionLog&) = delete;
  ~SessionLog();

  // Opens the file for appending, each line ended by lineEnd; false with the
  // reason in error. Never waits: a pipe that no program reads is refused, and
  // so is a device other than a terminal or a null device (a drive's node would
  // take the lines as commands).
  bool Open(const std::string& file, const std::string& lineEnd, std::string& error);
  // Appends one line (the text holds no line break) at once, so that the file
  // keeps everything up to a crash. Commands may log from a worker thread. After
  // a failed write nothing more is written.
  void Write(const std::string& line);
  // Why a write failed; empty while every line has been written.
  std::string WriteError() const;

 private:
  mutable Mutex mutex_;
  int file_ = -1;
  std::string lineEnd_;
  std::string writeError_;
};

// The time of day in UTC, "2026-12-08 13:00:57 UTC".
std::string UtcTimeText();

// A transport that logs every open and command, then hands them on unchanged.
std::unique_ptr<Transport> MakeLoggingTransport(Transport& inner, SessionLog& log);
// A toolkit that logs every dialog and message box with its answer, and is
// otherwise the toolkit it wraps.
std::unique_ptr<Toolkit> MakeLoggingToolkit(Toolkit& inner, SessionLog& log);
