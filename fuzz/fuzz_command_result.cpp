// The command result as the drive unit judges it: a transport whose every raw
// result (completion, SCSI status, the sense bytes and their length, residual,
// system error, its text) is the fuzzer's, run through TCdDrive::ExecuteCommand.
// Success, the sense bytes, SenseIs, SenseText and the message shown must tell
// the same story, and nothing but a completed GOOD or a CHECK CONDITION with
// valid sense of key 0 may pass.
//
// Input: per command (the drive's INQUIRY first) a header (opcode, direction and
// length, flags: bit 0 errors shown, bit 1 every byte asked for), then the
// result: completed, status, the residual (known or not), system error (4 bytes),
// the sense bytes, data bytes delivered and the error's text, each with its
// length first.
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
    Last.Completed = In->Bit();
    Last.ScsiStatus = In->Byte();
    Last.Status = In->Bit() ? Last.ScsiStatus : In->Byte();
    Last.ResidualKnown = In->Bit();
    Last.Residual = In->Word();
    Last.OsError = In->Long();
    const std::vector<std::uint8_t> sense = In->Bytes(In->Byte() % (CommandResult::kSenseCapacity + 1));
    Last.SetSense(sense.data(), sense.size());
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

// Sense data with a valid response code, and its sense key byte.
bool ValidSense(const CommandResult& result, std::uint8_t& key) {
  const std::uint8_t code = result.SenseLength > 0 ? result.Sense[0] & 0x7F : 0;
  if ((code == 0x70 || code == 0x71) && result.SenseLength > 2) {
    key = result.Sense[2];
    return true;
  }
  if ((code == 0x72 || code == 0x73) && result.SenseLength > 1) {
    key = result.Sense[1] & 0x0F;
    return true;
  }
  return false;
}

// What one command's outcome must agree with.
void CheckOutcome(const TCdDrive& drive, bool ok, const CommandResult& result, bool wholeReply, bool dataIn,
                  const Messages& messages, std::size_t shownBefore, bool showErrors) {
  const std::string text = drive.SenseText();
  unsigned key = 0, asc = 0, ascq = 0, status = 0, error = 0;
  FUZZ_CHECK(std::sscanf(text.c_str(), "%2X %2X %2X. %2X, %X", &key, &asc, &ascq, &status, &error) == 5,
             text);
  FUZZ_CHECK(drive.SenseIs(static_cast<std::uint8_t>(key), static_cast<std::uint8_t>(asc),
                           static_cast<std::uint8_t>(ascq)),
             "SenseIs agrees with SenseText " + text);
  FUZZ_CHECK(status == result.Status, "SenseText shows the status: " + text);
  FUZZ_CHECK(ok == (drive.Outcome == CommandOutcome::Good), "the result is the outcome");
  FUZZ_CHECK(drive.RequestAccepted == result.Completed, "RequestAccepted is the completion");
  std::uint8_t senseKey = 0;
  const bool valid = ValidSense(result, senseKey);
  if (!valid) FUZZ_CHECK(drive.SenseIs(0, 0, 0), "sense bytes only from valid sense data: " + text);
  if (ok) {
    FUZZ_CHECK(result.Completed, "a success completed");
    FUZZ_CHECK(result.ScsiStatus == 0x00 || result.ScsiStatus == 0x02,
               Format("a success with status %02X", result.ScsiStatus));
    FUZZ_CHECK(result.ScsiStatus == 0x00 || valid, "a CHECK CONDITION without valid sense data succeeded");
    FUZZ_CHECK(!valid || senseKey == 0, "a success with a sense key");
    FUZZ_CHECK(!(result.ResidualKnown && result.Residual > 0 && dataIn && wholeReply),
               "a read asked for every byte brought fewer and succeeded");
    FUZZ_CHECK(drive.SenseKey == 0 && EndsWith(text, "0000"),
               "a success shows no sense key or error: " + text);
    FUZZ_CHECK(messages.Shown.size() == shownBefore, "a success shows nothing");
    return;
  }
  FUZZ_CHECK(drive.LastError != 0 || drive.SenseKey != 0, "a failure reads as a failure: " + text);
  if (result.OsError != 0) {
    FUZZ_CHECK(drive.LastError == result.OsError, "a failure keeps the system error: " + text);
  }
  FUZZ_CHECK(EndsWith(text, Format("%04X", drive.LastError)), "SenseText shows the error: " + text);
  if (!showErrors) {
    FUZZ_CHECK(messages.Shown.size() == shownBefore, "errors are not shown");
    return;
  }
  FUZZ_CHECK(messages.Shown.size() == shownBefore + 1, "a failure is shown once");
  const std::string expected =
      Format("SenseCode: %02X %02X %02X, %02X, Error: %d, ", drive.SenseKey, drive.Asc, drive.Ascq,
             result.Status, static_cast<int>(drive.LastError));
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
    CheckOutcome(drive, opened, transport.Last, false, true, messages, 0, false);
    if (opened) {
      for (int command = 0; command < 64 && !in.Empty(); ++command) {
        const std::uint8_t opcode = in.Byte();
        const std::uint8_t direction = in.Byte();
        const std::uint8_t flags = in.Byte();
        const bool showErrors = (flags & 1) != 0;
        const bool wholeReply = (flags & 2) != 0;
        Cddrive::Unit().ShowErrors = showErrors;
        const std::size_t shown = messages.Shown.size();
        const bool ok = drive.ExecuteCommand(opcode, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, direction & 1,
                                             direction, wholeReply);
        CheckOutcome(drive, ok, transport.Last, wholeReply, (direction & 1) == 1, messages, shown,
                     showErrors);
      }
    }
  }
  FUZZ_CHECK(transport.Opens == transport.Closes, "the drive is closed");
  Cddrive::SetMessageSink(nullptr);
  Cddrive::InstallTransport(nullptr);
  return 0;
}
