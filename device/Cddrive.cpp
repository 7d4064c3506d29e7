// Unit Cddrive: one optical drive, reached through the installed transport, and
// the state that all drives share.
#include "device/Cddrive.h"

#include <algorithm>
#include <cstring>

#include "common/Text.h"

namespace Cddrive {
namespace {

UnitState gUnit;
Transport* gTransport = nullptr;
MessageSink* gSink = nullptr;
CommandRunner* gRunner = nullptr;

// The longest text the system's message formatter may give: it writes into an
// 80-byte buffer, terminator included.
constexpr std::size_t kErrorTextBuffer = 80;

}  // namespace

UnitState& Unit() {
  return gUnit;
}
void ResetUnit() {
  gUnit = UnitState{};
}
void InstallTransport(Transport* transport) {
  gTransport = transport;
}
Transport* InstalledTransport() {
  return gTransport;
}
void SetMessageSink(MessageSink* sink) {
  gSink = sink;
}
void SetCommandRunner(CommandRunner* runner) {
  gRunner = runner;
}

}  // namespace Cddrive

namespace {

using Cddrive::Unit;

void ShowPlain(const std::string& text) {
  Unit().MessageText = text;
  if (Cddrive::gSink != nullptr) Cddrive::gSink->ShowMessage(Unit().MessageText);
}

// A sink that shows nothing, for a transport set-up that runs without a window.
class SilentSink : public MessageSink {
 public:
  void ShowMessage(const std::string&) override {}
  void ShowErrorMessage(const std::string&) override {}
};

// Length of the display line's prefix "H-T-L X: " (adapter, target and LUN in
// decimal, the letter, a colon and a blank), or 0 when the text does not start
// with one: an empty line, or the "0" of a failed INQUIRY.
std::size_t PrefixLength(const std::string& text) {
  std::size_t pos = 0;
  for (int number = 0; number < 3; ++number) {
    const std::size_t start = pos;
    while (pos < text.size() && text[pos] >= '0' && text[pos] <= '9') ++pos;
    if (pos == start) return 0;
    const char separator = number < 2 ? '-' : ' ';
    if (pos >= text.size() || text[pos] != separator) return 0;
    ++pos;
  }
  // The letter (any character, a blank under a bus transport), ':' and ' '.
  if (pos + 3 > text.size() || text[pos + 1] != ':' || text[pos + 2] != ' ') return 0;
  return pos + 3;
}

// The identification after the prefix, from character offset on; "" when the
// line holds none or is shorter.
std::string Identification(const std::string& text, std::size_t offset) {
  const std::size_t prefix = PrefixLength(text);
  if (prefix == 0 || prefix + offset >= text.size()) return {};
  return text.substr(prefix + offset);
}

constexpr std::uint8_t kStatusGood = 0x00;
constexpr std::uint8_t kStatusCheckCondition = 0x02;

struct Judgement {
  CommandOutcome Outcome = CommandOutcome::Transport;
  std::uint8_t Key = 0, Asc = 0, Ascq = 0;  // 0 0 0 unless the sense data is valid
};

// Sense data counts only with a valid response code: fixed format (70h, 71h, with
// or without the valid bit) holds the whole sense key byte in byte 2 and the code
// and qualifier in bytes 12 and 13; descriptor format (72h, 73h) holds the key in
// the low bits of byte 1 and the code and qualifier in bytes 2 and 3. Bytes that
// did not come back read 0.
bool ReadSense(const CommandResult& result, Judgement& judged) {
  const std::size_t length = std::min<std::size_t>(result.SenseLength, CommandResult::kSenseCapacity);
  auto byte = [&](std::size_t i) -> std::uint8_t { return i < length ? result.Sense[i] : 0; };
  const std::uint8_t code = byte(0) & 0x7F;
  if (code == 0x70 || code == 0x71) {
    if (length < 3) return false;
    judged.Key = byte(2);
    judged.Asc = byte(12);
    judged.Ascq = byte(13);
    return true;
  }
  if (code == 0x72 || code == 0x73) {
    if (length < 2) return false;
    judged.Key = byte(1) & 0x0F;
    judged.Asc = byte(2);
    judged.Ascq = byte(3);
    return true;
  }
  return false;
}

// One judgement for every transport: a request that did not complete fails; GOOD
// succeeds unless valid sense data says otherwise; CHECK CONDITION succeeds only
// with valid sense data whose sense key byte is 0 (flag bits included); any other
// status fails; and a read whose caller asked for every byte fails when the
// system says some did not come. Other replies may be shorter than the length
// asked, as the drive chooses.
Judgement Judge(const CommandResult& result, const CommandRequest& request) {
  Judgement judged;
  const bool sense = ReadSense(result, judged);
  if (!result.Completed) {
    judged.Outcome = CommandOutcome::Transport;
  } else if (result.ScsiStatus == kStatusGood || result.ScsiStatus == kStatusCheckCondition) {
    if (sense && judged.Key != 0) {
      judged.Outcome = CommandOutcome::Sense;
    } else if (!sense && result.ScsiStatus == kStatusCheckCondition) {
      judged.Outcome = CommandOutcome::NoSense;
    } else if (result.ResidualKnown && result.Residual > 0 && request.WholeReply && request.DataIn &&
               request.Length > 0) {
      judged.Outcome = CommandOutcome::ShortRead;
    } else {
      judged.Outcome = CommandOutcome::Good;
    }
  } else {
    judged.Outcome = CommandOutcome::Status;
  }
  return judged;
}

}  // namespace

TCdDrive::TCdDrive(char DriveLetter_, std::uint8_t HaId_, std::uint8_t Target_, std::uint8_t Lun_,
                   std::string Locator_) {
  Cddrive::UnitState& unit = Unit();
  DriveText.clear();
  transport_ = Cddrive::InstalledTransport();

  if (unit.OpenCount == 0) {
    if (transport_ == nullptr) {
      unit.InitStatus = dsNoDevice;
      return;
    }
    SilentSink silent;
    MessageSink& sink = Cddrive::gSink != nullptr ? *Cddrive::gSink : silent;
    const std::uint8_t setup = transport_->Setup(sink);
    // The set-up chooses the transport: what it chose, also when it failed.
    unit.UseSpti = transport_->OpensDevices();
    if (setup != dsOk) {
      unit.InitStatus = setup;
      return;
    }
    unit.Buffer = unit.DefaultBuffer;
    unit.BufferSize = Cddrive::kDefaultBufferSize;
  }

  Handle = kNoDevice;
  DriveLetter = DriveLetter_;
  HaId = HaId_;
  Target = Target_;
  Lun = Lun_;
  Locator = std::move(Locator_);
  address_ = DriveAddress{DriveLetter, HaId, Target, Lun, Locator};

  if (OpenDevice()) {
    unit.InitStatus = dsOk;
    ++unit.OpenCount;
  } else {
    unit.InitStatus = dsNoDevice;
  }
}

TCdDrive::~TCdDrive() {
  if (!destructionSteps_ || transport_ == nullptr) return;
  Cddrive::UnitState& unit = Unit();
  if (transport_->OpensDevices()) {
    if (Handle != kNoDevice) {
      transport_->Close(Handle);
      Handle = kNoDevice;
      if (unit.OpenCount > 0) --unit.OpenCount;
    }
  } else if (unit.OpenCount > 0) {
    --unit.OpenCount;
  } else {
    transport_->ReleaseLayer();
  }
}

void TCdDrive::ReleaseWithoutDestruction() {
  destructionSteps_ = false;
}

bool TCdDrive::OpenDevice() {
  if (transport_ == nullptr) return false;
  if (transport_->OpensDevices()) {
    const OpenResult opened = transport_->Open(address_);
    if (opened.Handle == kNoDevice) {
      Handle = kNoDevice;
      Unit().LastOsError = opened.Error;
      ShowPlain(Format("Error opening: %d, Drive: %s", static_cast<int>(opened.Error), opened.Path.c_str()));
      Unit().ShowErrors = true;
      ShowSenseCode();
      ShowAccessAdvice();
      return false;
    }
    Handle = opened.Handle;
  }
  if (Inquiry()) return true;
  if (transport_->OpensDevices() && Handle != kNoDevice) {
    transport_->Close(Handle);
    Handle = kNoDevice;
  }
  return false;
}

bool TCdDrive::ExecuteCommand(std::uint8_t Cdb0, std::uint8_t Cdb1, std::uint8_t Cdb2, std::uint8_t Cdb3,
                              std::uint8_t Cdb4, std::uint8_t Cdb5, std::uint8_t Cdb6, std::uint8_t Cdb7,
                              std::uint8_t Cdb8, std::uint8_t Cdb9, std::uint8_t Cdb10, std::uint8_t Cdb11,
                              std::uint8_t DataIn, std::uint32_t Length, bool WholeReply) {
  Cddrive::UnitState& unit = Unit();
  CommandRequest request;
  const std::uint8_t cdb[12] = {Cdb0, Cdb1, Cdb2, Cdb3, Cdb4, Cdb5, Cdb6, Cdb7, Cdb8, Cdb9, Cdb10, Cdb11};
  std::memcpy(request.Cdb, cdb, sizeof cdb);
  request.DataIn = DataIn == 1;
  request.Length = Length;
  request.Data = unit.InquiryInProgress ? unit.InquiryBuffer : unit.Buffer;
  request.TimeoutSeconds = unit.Timeout;
  request.WholeReply = WholeReply;

  // A drive without a transport gets the outcome of a request that came back
  // without sense data.
  CommandResult result;
  if (transport_ != nullptr) {
    struct Call {
      Transport* transport;
      DeviceHandle handle;
      const DriveAddress* address;
      const CommandRequest* request;
      CommandResult* result;
    } call{transport_, Handle, &address_, &request, &result};
    auto step = [](void* context) {
      const Call& c = *static_cast<Call*>(context);
      *c.result = c.transport->Execute(c.handle, *c.address, *c.request);
    };
    if (Cddrive::gRunner != nullptr) {
      Cddrive::gRunner->Run(step, &call);
    } else {
      step(&call);
    }
  }

  const Judgement judged = Judge(result, request);
  Outcome = judged.Outcome;
  RequestAccepted = result.Completed;
  LastError = 0;
  Status = result.Status;
  SenseKey = judged.Key;
  Asc = judged.Asc;
  Ascq = judged.Ascq;
  // A failure that neither the system nor sense data describes still gets an
  // error number, so that its sense text never reads like a success.
  std::uint32_t error = result.OsError;
  const bool described = Outcome == CommandOutcome::Good || Outcome == CommandOutcome::Sense;
  if (!described && error == 0 && transport_ != nullptr) error = transport_->DeviceError();
  unit.LastOsError = error;
  SystemText.clear();
  if (Outcome == CommandOutcome::Transport && result.SenseLength == 0 && transport_ != nullptr) {
    SystemText = transport_->CommandErrorText(error);
  }

  if (Outcome == CommandOutcome::Good) return true;
  ShowSenseCode();
  return false;
}

bool TCdDrive::SenseIs(std::uint8_t Key, std::uint8_t Code, std::uint8_t Qualifier) const {
  return SenseKey == Key && Asc == Code && Ascq == Qualifier;
}

std::string TCdDrive::SenseText() const {
  const std::string text =
      Format("%02X %02X %02X. %02X, %04X", SenseKey, Asc, Ascq, Status, static_cast<unsigned>(LastError));
  return SystemText.empty() ? text : text + ", " + SystemText;
}

void TCdDrive::ShowAccessAdvice() {
  if (transport_ == nullptr || LastError == 0) return;
  const std::string advice = transport_->AccessAdvice(address_, LastError);
  if (!advice.empty()) ShowPlain(advice);
}

void TCdDrive::ShowSenseCode() {
  Cddrive::UnitState& unit = Unit();
  LastError = unit.LastOsError;
  if (!unit.ShowErrors) return;
  const std::string system = transport_ != nullptr ? transport_->ErrorText(LastError) : std::string();
  const int error = static_cast<int>(LastError);
  if (!system.empty() && system.size() < Cddrive::kErrorTextBuffer) {
    ShowPlain(Format("SenseCode: %02X %02X %02X, %02X, Error: %d, %s", SenseKey, Asc, Ascq, Status, error,
                     system.c_str()));
  } else {
    ShowPlain(Format("SenseCode: %02X %02X %02X, %02X, Error: %d, Format message failed.", SenseKey, Asc,
                     Ascq, Status, error));
  }
}

bool TCdDrive::Inquiry() {
  Cddrive::UnitState& unit = Unit();
  // The buffer is shared by every drive: a drive that sends less than 36 bytes
  // must not show what the previous drive left there.
  std::memset(unit.InquiryBuffer, 0, sizeof unit.InquiryBuffer);
  unit.InquiryInProgress = true;
  const bool ok =
      ExecuteCommand(0x12, 0x00, 0x00, 0x00, 0x80, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 1, 128);
  unit.InquiryInProgress = false;
  if (!ok) {
    DriveText.assign(1, '0');  // the failed-INQUIRY line
    return false;
  }
  // Vendor (8), product (16) and revision (4) from byte 8; a zero byte ends the
  // identification early.
  const std::string identification = FieldText(reinterpret_cast<const char*>(unit.InquiryBuffer + 8), 28);
  DriveText = Format("%d-%d-%d %c: %28.28s", HaId, Target, Lun, DriveLetter, identification.c_str());
  return true;
}

bool TCdDrive::Claim(std::string& Reason) {
  if (transport_ == nullptr) return true;
  const Transport::Claim claim = transport_->ClaimDrive(Handle, address_);
  Reason = claim.Reason;
  return !claim.Refused;
}

void TCdDrive::Release() {
  if (transport_ != nullptr) transport_->ReleaseDrive(Handle, address_);
}

std::string TCdDrive::Name() const {
  if (!Locator.empty()) return Locator;
  if (DriveLetter != ' ') return Format("%c:", DriveLetter);
  return Format("%d-%d-%d", HaId, Target, Lun);
}

std::string TCdDrive::GetDriveText() {
  return Inquiry() ? DriveText : std::string("0");
}

std::string TCdDrive::GetVendorProduct() const {
  return Format("%24.24s", Identification(DriveText, 0).c_str());
}

std::string TCdDrive::GetRevision() const {
  return Format("%4.4s", Identification(DriveText, 24).c_str());
}

void TCdDrive::SetTimeout(std::uint16_t Seconds) {
  Unit().Timeout = Seconds;
}

std::uint8_t TCdDrive::GetInitStatus() const {
  return Unit().InitStatus;
}

std::uint8_t* TCdDrive::GetBuffer() const {
  return Unit().Buffer;
}

void TCdDrive::SetBuffer(std::uint8_t* Buffer, std::uint32_t Size) {
  Cddrive::UnitState& unit = Unit();
  if (Buffer == nullptr) {
    unit.Buffer = unit.DefaultBuffer;
    unit.BufferSize = Cddrive::kDefaultBufferSize;
  } else {
    unit.Buffer = Buffer;
    unit.BufferSize = Size;
  }
}
