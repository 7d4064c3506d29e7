// The update against a drive whose every reply the fuzzer may bend: a drive that
// keeps a buffer memory and answers the update's commands, except where the
// fuzzer makes a command fail, report odd status or sense, do nothing, store or
// deliver fewer bytes, a changed byte, or bytes of its own.
//
// The property: no commit (WRITE BUFFER 3B 05 with control 80 or A0) goes out
// unless every byte the program wrote to the drive's buffer (profile and image
// chunks) was afterwards delivered back by the drive equal to what was written.
//
// Input: the Read Flash ID bytes (4), the package (scheme, FLASH-ALL and a second
// press of FLASH, then the image size), then one byte per command choosing its
// reply (0, or the end of the input: the honest answer) with the bytes that reply
// needs.
#include <algorithm>
#include <cstring>

#include "fuzz/FuzzSupport.h"
#include "tests/UpdateRig.h"

namespace {

constexpr std::uint32_t kMemory = 0x100000;
constexpr std::uint8_t kWriteBuffer = 0x3B, kReadBuffer = 0x3C;

std::uint32_t Field24(const std::uint8_t* at) {
  return static_cast<std::uint32_t>(at[0]) << 16 | static_cast<std::uint32_t>(at[1]) << 8 | at[2];
}

bool IsCommit(const std::uint8_t* cdb) {
  return cdb[0] == kWriteBuffer && (cdb[9] == 0x80 || cdb[9] == 0xA0);
}

class BendingDrive : public FakeTransport {
 public:
  FuzzInput* In = nullptr;  // null: every reply honest (the start-up)
  std::uint8_t FlashId[4] = {};
  int CommitsSent = 0;

  BendingDrive() : memory_(kMemory), written_(kMemory), state_(kMemory) {}

  // A fresh drive: buffer memory zeroed, nothing written, nothing sent.
  void Reset() {
    In = nullptr;
    CommitsSent = Opens = Closes = 0;
    std::memset(memory_.data(), 0, kMemory);
    std::memset(written_.data(), 0, kMemory);
    NewUpdate();
  }
  // An update begins: what earlier ones wrote is no longer the program's concern.
  void NewUpdate() { std::memset(state_.data(), kUntouched, kMemory); }

  CommandResult Execute(DeviceHandle, const DriveAddress&, const CommandRequest& request) override {
    const std::uint8_t* cdb = request.Cdb;
    const std::uint32_t offset = Field24(cdb + 3), length = Field24(cdb + 6);
    const bool inRange = static_cast<std::uint64_t>(offset) + length <= kMemory;
    const bool store = cdb[0] == kWriteBuffer && !request.DataIn && request.Length > 0;
    const bool read = cdb[0] == kReadBuffer;
    if (store || read) {
      FUZZ_CHECK(length == request.Length && request.DataIn == read && request.Data != nullptr,
                 "a buffer command's data phase is the one its command block names");
    }
    if (IsCommit(cdb)) {
      ++CommitsSent;
      FUZZ_CHECK(std::memchr(state_.data(), kWritten, kMemory) == nullptr,
                 "commit sent although a byte written to the drive was never read back equal");
    }
    // What the host sends is what the drive should hold, however the drive treats it.
    if (store && inRange) {
      std::copy_n(request.Data, length, written_.begin() + offset);
      std::fill_n(state_.begin() + offset, length, kWritten);
    }

    const std::uint8_t choice = In != nullptr ? In->Byte() % 8 : 0;
    CommandResult result = GoodResult();
    if (choice == 1) {  // CHECK CONDITION with the fuzzer's sense, no effect
      const std::uint8_t key = In->Byte(), asc = In->Byte(), ascq = In->Byte();
      return CheckResult(key, asc, ascq);
    }
    if (choice == 2) return CommandResult::Failed(In->Byte());  // the request fails in the transport
    if (choice == 4) return result;                             // success, and nothing happens

    std::vector<std::uint8_t> bytes;  // stored or delivered
    if (store) bytes.assign(request.Data, request.Data + length);
    result = Honest(request, inRange, bytes);
    if (choice == 3) {  // the effect, with the fuzzer's completion, status and sense bytes
      result.Completed = In->Bit();
      result.ScsiStatus = result.Status = In->Byte();
      const std::vector<std::uint8_t> sense = In->Bytes(In->Byte() % (CommandResult::kSenseCapacity + 1));
      result.SetSense(sense.data(), sense.size());
    }
    if (store && !inRange) return result;
    if (!store && (!request.DataIn || request.Data == nullptr)) return result;
    std::size_t count = std::min<std::size_t>(bytes.size(), request.Length);
    if (count > 0 && choice == 5) {  // fewer bytes, the residual said or not
      count = In->Word() % (count + 1);
      result.ResidualKnown = In->Bit();
      result.Residual = static_cast<std::uint32_t>(request.Length - count);
    }
    if (count > 0 && choice == 6) {  // one byte changes
      const std::size_t at = In->Word() % count;
      bytes[at] ^= static_cast<std::uint8_t>(In->Byte() | 1);
    }
    if (choice == 7) {  // bytes of the drive's own
      const std::vector<std::uint8_t> own = In->Bytes(count);
      std::copy(own.begin(), own.end(), bytes.begin());
    }
    if (store) {
      std::copy_n(bytes.begin(), count, memory_.begin() + offset);
    } else {
      std::copy_n(bytes.begin(), count, request.Data);
      if (read && inRange) Delivered(offset, request.Data, count, length);
    }
    return result;
  }

 private:
  static constexpr std::uint8_t kUntouched = 0, kWritten = 1, kReadBack = 2;

  // A read delivered `count` of the `length` bytes it asked for.
  void Delivered(std::uint32_t offset, const std::uint8_t* data, std::size_t count, std::uint32_t length) {
    // All of it as written: every byte is read back (bytes never written too, harmlessly).
    if (count == length && std::memcmp(data, written_.data() + offset, length) == 0) {
      std::memset(state_.data() + offset, kReadBack, length);
      return;
    }
    for (std::uint32_t i = 0; i < length; ++i) {
      std::uint8_t& state = state_[offset + i];
      if (state == kUntouched) continue;
      state = i < count && data[i] == written_[offset + i] ? kReadBack : kWritten;
    }
  }

  // The drive's own answer, a CD-RW of the sample model at revision 1000: the
  // reply in `bytes` (a write leaves the bytes to store there).
  CommandResult Honest(const CommandRequest& request, bool inRange, std::vector<std::uint8_t>& bytes) {
    const std::uint8_t* cdb = request.Cdb;
    const CommandResult good = GoodResult();
    const CommandResult refused = CheckResult(0x05, 0x24, 0x00);
    switch (cdb[0]) {
      case 0x12: {
        static const std::string kInquiry =
            std::string("\x05\x80\x00\x02\x1F\x00\x00\x00", 8) + "QVXR    " + "CRW-5224A       " + "1000";
        bytes.assign(kInquiry.begin(), kInquiry.end());
        return good;
      }
      case 0xDF:
        bytes.assign(128, 0);
        std::copy_n(FlashId, 4, bytes.begin());
        return good;
      case kReadBuffer:
        if (!inRange) return refused;
        bytes.assign(memory_.begin() + Field24(cdb + 3),
                     memory_.begin() + Field24(cdb + 3) + Field24(cdb + 6));
        return good;
      case kWriteBuffer:
        if (!inRange) return refused;
        if (IsCommit(cdb)) bytes.assign(16, 0);
        return good;
      default:
        return good;
    }
  }

  std::vector<std::uint8_t> memory_;   // the drive's buffer memory
  std::vector<std::uint8_t> written_;  // what the host wrote there
  std::vector<std::uint8_t> state_;    // per byte: untouched, written, read back equal
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const std::unique_ptr<FlashPackage> packages[] = {SchemePackage(kImageAreaSize, Scheme::None),
                                                           SchemePackage(kImageAreaSize, Scheme::ShortHeader),
                                                           SchemePackage(kImageAreaSize, Scheme::LongHeader)};
  static BendingDrive drive;
  FuzzInput in(data, size);
  drive.Reset();
  for (std::uint8_t& b : drive.FlashId) b = in.Byte();
  const std::uint8_t options = in.Byte();
  FlashPackage& package = *packages[(options & 3) % 3];
  PutText(package.NoteText, kTextFieldSize, (options & 4) != 0 ? "FLASH-ALL" : "");
  const int presses = (options & 8) != 0 ? 2 : 1;
  SetPackageImageSize(package, in.Long() % (kImageAreaSize + 2));

  Cddrive::ResetUnit();
  Cddrive::InstallTransport(&drive);
  {
    RecordingToolkit ui;
    ui.Answers = {DialogResult::Yes};
    TFlashForm form(ui, package, {});
    ui.CreateMainWindow(form);
    form.FormCreate();
    FUZZ_CHECK(ui.ComboCount() == 1 && form.Drive != nullptr, "the drive is offered");
    drive.In = &in;
    for (int press = 0; press < presses; ++press) {
      const int commits = drive.CommitsSent;
      const auto captions = static_cast<std::ptrdiff_t>(ui.GroupHistory.size());
      ui.DefaultAnswer = DialogResult::Yes;
      drive.NewUpdate();
      ui.UserPressesButton();
      const bool completed = std::find(ui.GroupHistory.begin() + captions, ui.GroupHistory.end(),
                                       "Flash Completed.") != ui.GroupHistory.end();
      FUZZ_CHECK(!completed || drive.CommitsSent == commits + 1, "completed after one commit");
    }
  }
  Cddrive::InstallTransport(nullptr);
  FUZZ_CHECK(drive.Opens == drive.Closes, "the drive is closed");
  return 0;
}
