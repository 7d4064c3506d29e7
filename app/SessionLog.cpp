#include "app/SessionLog.h"

#include <chrono>
#include <ctime>
#include <utility>

#include "common/Text.h"

bool SessionLog::Open(const std::string& file, std::string& error) {
  out_.open(file, std::ios::out | std::ios::app | std::ios::binary);
  if (!out_) {
    error = "cannot open the log file " + file;
    return false;
  }
  return true;
}

void SessionLog::Write(const std::string& line) {
  const MutexLock lock(mutex_);
  out_ << line << '\n';
  out_.flush();
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

class LoggingToolkit : public Toolkit {
 public:
  LoggingToolkit(Toolkit& inner, SessionLog& log) : inner_(inner), log_(log) {}

  DialogResult MessageDialog(const std::string& text, DialogKind kind) override {
    const DialogResult answer = inner_.MessageDialog(text, kind);
    log_.Write(
        Format("dialog %s \"%s\": %s", DialogName(kind), EscapedText(text).c_str(), AnswerName(answer)));
    return answer;
  }
  void ShowMessage(const std::string& text) override {
    inner_.ShowMessage(text);
    log_.Write("message \"" + EscapedText(text) + "\": OK");
  }
  void ShowException(const std::string& text) override {
    inner_.ShowException(text);
    log_.Write("exception \"" + EscapedText(text) + "\"");
  }

  void SetApplicationTitle(const std::string& title) override { inner_.SetApplicationTitle(title); }
  void CreateMainWindow(TFlashForm& form) override { inner_.CreateMainWindow(form); }
  void ShowMainWindow() override { inner_.ShowMainWindow(); }
  void RunMessageLoop() override { inner_.RunMessageLoop(); }
  void CloseWindow() override { inner_.CloseWindow(); }
  void PostQuit(int exitCode) override { inner_.PostQuit(exitCode); }
  void SetWindowCaption(const std::string& caption) override { inner_.SetWindowCaption(caption); }
  std::string WindowCaption() const override { return inner_.WindowCaption(); }
  void SetLabelCaption(const std::string& caption) override { inner_.SetLabelCaption(caption); }
  int ComboCount() const override { return inner_.ComboCount(); }
  std::string ComboLine(int index) const override { return inner_.ComboLine(index); }
  void ComboAdd(const std::string& line) override { inner_.ComboAdd(line); }
  void ComboInsert(int index, const std::string& line) override { inner_.ComboInsert(index, line); }
  void ComboDelete(int index) override { inner_.ComboDelete(index); }
  int ComboIndex() const override { return inner_.ComboIndex(); }
  void ComboSelect(int index) override { inner_.ComboSelect(index); }
  void ComboRedraw() override { inner_.ComboRedraw(); }
  void FileListSetDirectory(const std::string& directory) override { inner_.FileListSetDirectory(directory); }
  void FileListSetMask(const std::string& mask) override { inner_.FileListSetMask(mask); }
  void FileListUpdate() override { inner_.FileListUpdate(); }
  std::string FileListCurrentFile() const override { return inner_.FileListCurrentFile(); }
  void FileListSetVisible(bool visible) override { inner_.FileListSetVisible(visible); }
  void SetGroupCaption(const std::string& caption) override { inner_.SetGroupCaption(caption); }
  std::string GroupCaption() const override { return inner_.GroupCaption(); }
  void SetProgressMin(int value) override { inner_.SetProgressMin(value); }
  void SetProgressMax(int value) override { inner_.SetProgressMax(value); }
  void SetProgressPosition(int value) override { inner_.SetProgressPosition(value); }
  int ProgressPosition() const override { return inner_.ProgressPosition(); }
  void SetProgressStep(int value) override { inner_.SetProgressStep(value); }
  void ProgressStepIt() override { inner_.ProgressStepIt(); }
  void SetButtonCaption(const std::string& caption) override { inner_.SetButtonCaption(caption); }
  void SetButtonEnabled(bool enabled) override { inner_.SetButtonEnabled(enabled); }
  void SetCursor(CursorShape shape) override { inner_.SetCursor(shape); }
  std::string UpperCase(const std::string& text) const override { return inner_.UpperCase(text); }
  std::string CurrentDirectory() const override { return inner_.CurrentDirectory(); }
  std::string ProgramFilePath() const override { return inner_.ProgramFilePath(); }
  std::string ProgramStartedPath() const override { return inner_.ProgramStartedPath(); }
  void Sleep(unsigned milliseconds) override { inner_.Sleep(milliseconds); }
  void BeginWork() override { inner_.BeginWork(); }
  void EndWork() override { inner_.EndWork(); }
  void RunBlocking(void (*step)(void*), void* context) override { inner_.RunBlocking(step, context); }

 private:
  Toolkit& inner_;
  SessionLog& log_;
};

}  // namespace

std::unique_ptr<Transport> MakeLoggingTransport(Transport& inner, SessionLog& log) {
  return std::make_unique<LoggingTransport>(inner, log);
}

std::unique_ptr<Toolkit> MakeLoggingToolkit(Toolkit& inner, SessionLog& log) {
  return std::make_unique<LoggingToolkit>(inner, log);
}
