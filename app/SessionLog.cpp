#include "app/SessionLog.h"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <ctime>
#include <utility>

#include "app/ForwardingToolkit.h"
#include "common/System.h"
#include "common/Text.h"

SessionLog::~SessionLog() {
  if (file_ >= 0) CloseLogFile(file_);
}

bool SessionLog::Open(const std::string& file, const std::string& lineEnd, std::string& error) {
  std::string why;
  file_ = OpenLogFile(file, why);
  if (file_ < 0) {
    error = "cannot open the log file " + EscapedText(file) + ": " + why;
    return false;
  }
  lineEnd_ = lineEnd;
  return true;
}

void SessionLog::Write(const std::string& line) {
  const MutexLock lock(mutex_);
  if (file_ < 0 || !writeError_.empty()) return;
  const std::string text = line + lineEnd_;
  for (std::size_t done = 0; done < text.size();) {
    const auto written = WriteLogFile(file_, text.data() + done, text.size() - done);
    if (written <= 0) {
      if (written < 0 && errno == EINTR) continue;
      writeError_ = written < 0 ? std::strerror(errno) : "nothing written";
      return;
    }
    done += static_cast<std::size_t>(written);
  }
}

std::string SessionLog::WriteError() const {
  const MutexLock lock(mutex_);
  return writeError_;
}

std::string UtcTimeText() {
  const std::time_t now = std::chrono::system_clock::to_time_t(std::chrono::system_clock::now());
  const std::tm* utc = std::gmtime(&now);
  if (utc == nullptr) return "(unknown time)";
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S UTC", utc);
  return text;
}

namespace {

std::string DriveName(const DriveAddress& address) {
  if (!address.Locator.empty()) return address.Locator;
  return Format("%d-%d-%d %c:", address.HaId, address.Target, address.Lun, address.Letter);
}

std::string Hex(const std::uint8_t* bytes, std::size_t count) {
  std::string text;
  for (std::size_t i = 0; i < count; ++i) text += Format(i == 0 ? "%02X" : " %02X", bytes[i]);
  return text;
}

class LoggingTransport : public Transport {
 public:
  LoggingTransport(Transport& inner, SessionLog& log) : inner_(inner), log_(log) {}

  std::uint8_t Setup(MessageSink& sink) override { return inner_.Setup(sink); }
  bool OpensDevices() const override { return inner_.OpensDevices(); }
  void ReleaseLayer() override { inner_.ReleaseLayer(); }

  std::vector<DriveAddress> Enumerate() override {
    std::vector<DriveAddress> drives = inner_.Enumerate();
    std::string line = Format("drives: %zu", drives.size());
    for (const DriveAddress& address : drives) line += ", " + DriveName(address);
    log_.Write(line);
    return drives;
  }

  OpenResult Open(const DriveAddress& address) override {
    const OpenResult opened = inner_.Open(address);
    if (opened.Handle == kNoDevice) {
      log_.Write("open " + DriveName(address) + ": error " + ErrorWords(opened.Error));
    } else {
      log_.Write("open " + DriveName(address) + ": ok");
    }
    return opened;
  }

  void Close(DeviceHandle handle) override { inner_.Close(handle); }

  Claim ClaimDrive(DeviceHandle& handle, const DriveAddress& address) override {
    const Claim claim = inner_.ClaimDrive(handle, address);
    log_.Write("claim " + DriveName(address) + (claim.Refused ? ": refused, " + claim.Reason : ": held"));
    return claim;
  }
  void ReleaseDrive(DeviceHandle& handle, const DriveAddress& address) override {
    inner_.ReleaseDrive(handle, address);
    log_.Write("release " + DriveName(address));
  }

  CommandResult Execute(DeviceHandle handle, const DriveAddress& address,
                        const CommandRequest& request) override {
    const auto start = std::chrono::steady_clock::now();
    const CommandResult result = inner_.Execute(handle, address, request);
    const auto took =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
    std::string line = "command " + DriveName(address) + ": " + Hex(request.Cdb, sizeof request.Cdb);
    line += request.Length == 0 ? std::string(", no data")
                                : Format(", %s %u bytes", request.DataIn ? "in" : "out",
                                         static_cast<unsigned>(request.Length));
    line += Format(", time-out %u s", static_cast<unsigned>(request.TimeoutSeconds));
    line += result.Completed ? Format(", status %02X", result.Status) : std::string(", not completed");
    line += result.SenseLength == 0 ? std::string(", no sense")
                                    : ", sense " + Hex(result.Sense, result.SenseLength);
    if (result.ResidualKnown && result.Residual != 0) {
      line += Format(", residual %u", static_cast<unsigned>(result.Residual));
    }
    line += ", error " + ErrorWords(result.OsError);
    line += Format(", %lld ms", static_cast<long long>(took.count()));
    log_.Write(line);
    return result;
  }

  std::string ErrorText(std::uint32_t error) override { return inner_.ErrorText(error); }
  std::string CommandErrorText(std::uint32_t error) override { return inner_.CommandErrorText(error); }
  std::string AccessAdvice(const DriveAddress& address, std::uint32_t error) override {
    return inner_.AccessAdvice(address, error);
  }
  std::uint32_t DeviceError() const override { return inner_.DeviceError(); }

 private:
  std::string ErrorWords(std::uint32_t error) {
    if (error == 0) return "0";
    const std::string text = inner_.ErrorText(error);
    return text.empty() ? Format("%u", static_cast<unsigned>(error))
                        : Format("%u (%s)", static_cast<unsigned>(error), EscapedText(text).c_str());
  }

  Transport& inner_;
  SessionLog& log_;
};

const char* DialogName(DialogKind kind) {
  switch (kind) {
    case DialogKind::Warning:
      return "warning";
    case DialogKind::Confirmation:
      return "confirmation";
    case DialogKind::Error:
      return "error";
  }
  return "dialog";
}

const char* AnswerName(DialogResult answer) {
  switch (answer) {
    case DialogResult::Yes:
      return "Yes";
    case DialogResult::No:
      return "No";
    case DialogResult::Ok:
      return "OK";
    case DialogResult::Closed:
      return "closed";
  }
  return "?";
}

// Logs the dialogs, message boxes and escaped exceptions with their answers;
// every other call reaches the wrapped toolkit unchanged.
class LoggingToolkit : public ForwardingToolkit {
 public:
  LoggingToolkit(Toolkit& inner, SessionLog& log) : ForwardingToolkit(inner), log_(log) {}

  DialogResult MessageDialog(const std::string& text, DialogKind kind) override {
    const DialogResult answer = Inner().MessageDialog(text, kind);
    log_.Write(
        Format("dialog %s \"%s\": %s", DialogName(kind), EscapedText(text).c_str(), AnswerName(answer)));
    return answer;
  }
  void ShowMessage(const std::string& text) override {
    Inner().ShowMessage(text);
    log_.Write("message \"" + EscapedText(text) + "\": OK");
  }
  void ShowException(const std::string& text) override {
    Inner().ShowException(text);
    log_.Write("exception \"" + EscapedText(text) + "\"");
  }

 private:
  SessionLog& log_;
};

}  // namespace

std::unique_ptr<Transport> MakeLoggingTransport(Transport& inner, SessionLog& log) {
  return std::make_unique<LoggingTransport>(inner, log);
}

std::unique_ptr<Toolkit> MakeLoggingToolkit(Toolkit& inner, SessionLog& log) {
  return std::make_unique<LoggingToolkit>(inner, log);
}
