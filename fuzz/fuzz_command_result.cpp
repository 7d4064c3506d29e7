// The command result as the drive unit judges it: a transport whose every result
// (completion, SCSI status, sense bytes, system error, its text) is the fuzzer's,
// run through TCdDrive::ExecuteCommand. Success, the sense bytes, SenseIs,
// SenseText and the message shown must tell the same story.
//
// Input: per command (the drive's INQUIRY first) a header (opcode, direction and
// length, whether errors are shown), then the result: completed, status, sense
// key, code and qualifier, system error (4 bytes), data bytes delivered and the
// length of the error's text, with the bytes of both.
#include <algorithm>
#include <cstdio>

#include "common/Text.h"
#include "device/Cddrive.h"
#include "fuzz/FuzzSupport.h"

namespace {

class ResultTransport : public FakeTransport {
 public:
  FuzzInput* In = nullptr;
  CommandResult Last;

  CommandResult Execute(DeviceHandle, const DriveAddress&, const CommandRequest& request) override {
    Last = {};
    Last.Accepted = In->Bit();
    Last.Status = In->Byte();
    Last.SenseKey = In->Byte();
    Last.Asc = In->Byte();
    Last.Ascq = In->Byte();
    Last.OsError = In->Long();
    const std::vector<std::uint8_t> data = In->Bytes(In->Byte());
    if (request.DataIn && request.Data != nullptr) {
      std::copy_n(data.begin(), std::min<std::size_t>(data.size(), request.Length), request.Data);
    }
    text_ = In->Text(In->Byte());
    return Last;
  }
  std::string ErrorText(std::uint32_t) override { return text_; }

 private:
  std::string text_;
};

class Messages : public MessageSink {
 public:
  std::vector<std::string> Shown;
  void ShowMessage(const std::string& text) override { Shown.push_back(text); }
  void ShowErrorMessage(const std::string& text) override { Shown.push_back(text); }
};

bool EndsWith(const std::string& text, const std::string& end) {
  return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

// What one command's outcome must agree with.
void CheckOutcome(const TCdDrive& drive, bool ok, const CommandResult& result, const Messages& messages,
                  std::size_t shownBefore, bool showErrors) {
  const std::string text = drive.SenseText();
  unsigned key = 0, asc = 0, ascq = 0, status = 0, error = 0;
  FUZZ_CHECK(std::sscanf(text.c_str(), "%2X %2X %2X. %2X, %X", &key, &asc, &ascq, &status, &error) == 5,
             text);
  FUZZ_CHECK(drive.SenseIs(static_cast<std::uint8_t>(key), static_cast<std::uint8_t>(asc),
                           static_cast<std::uint8_t>(ascq)),
             "SenseIs agrees with SenseText " + text);
  FUZZ_CHECK(status == result.Status, "SenseText shows the status: " + text);
  if (ok) {
    FUZZ_CHECK(drive.RequestAccepted && drive.SenseKey == 0, "a success was completed, with sense key 0");
    FUZZ_CHECK(EndsWith(text, "0000"), "a success shows no system error: " + text);
    FUZZ_CHECK(messages.Shown.size() == shownBefore, "a success shows nothing");
    if (KnownFaultChecks()) {
      FUZZ_CHECK(result.Status == 0x00 || result.Status == 0x02,
                 Format("a success with status %02X", status));
      FUZZ_CHECK(result.Status == 0x00 || result.SenseKey != 0 || result.Asc != 0 || result.Ascq != 0,
                 "a CHECK CONDITION without sense data succeeded");
    }
    return;
  }
  FUZZ_CHECK(drive.LastError == result.OsError && EndsWith(text, Format("%04X", result.OsError)),
             "a failure keeps and shows the system error: " + text);
  if (!showErrors) {
    FUZZ_CHECK(messages.Shown.size() == shownBefore, "errors are not shown");
    return;
  }
  FUZZ_CHECK(messages.Shown.size() == shownBefore + 1, "a failure is shown once");
  const std::string expected =
      Format("SenseCode: %02X %02X %02X, %02X, Error: %d, ", result.SenseKey, result.Asc, result.Ascq,
             result.Status, static_cast<int>(result.OsError));
  FUZZ_CHECK(messages.Shown.back().rfind(expected, 0) == 0, messages.Shown.back());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzInput in(data, size);
  ResultTransport transport;
  transport.In = &in;
  Messages messages;
  Cddrive::ResetUnit();
  Cddrive::InstallTransport(&transport);
  Cddrive::SetMessageSink(&messages);
  {
    TCdDrive drive('D', 0, 0, 0);  // opening never fails here: the INQUIRY decides
    const bool opened = drive.GetInitStatus() == dsOk;
    CheckOutcome(drive, opened, transport.Last, messages, 0, false);
    if (opened) {
      for (int command = 0; command < 64 && !in.Empty(); ++command) {
        const std::uint8_t opcode = in.Byte();
        const std::uint8_t direction = in.Byte();
        const bool showErrors = in.Bit();
        Cddrive::Unit().ShowErrors = showErrors;
        const std::size_t shown = messages.Shown.size();
        const bool ok =
            drive.ExecuteCommand(opcode, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, direction & 1, direction);
        CheckOutcome(drive, ok, transport.Last, messages, shown, showErrors);
      }
    }
  }
  FUZZ_CHECK(transport.Opens == transport.Closes, "the drive is closed");
  Cddrive::SetMessageSink(nullptr);
  Cddrive::InstallTransport(nullptr);
  return 0;
}
