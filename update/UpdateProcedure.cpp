// The update: the flasher branch of FlashButtonClick. Confirm with the user,
// prepare the drive, load profile and image into the drive's buffer, read both
// back and compare, and only then let the drive program its flash. Every step
// stops the update at its first failure; nothing is retried or undone.
#include <cstring>

#include "app/FlashForm.h"
#include "app/SystemGuard.h"
#include "common/Text.h"
#include "update/CommandBlocks.h"

namespace {

constexpr std::int32_t kChunk = static_cast<std::int32_t>(TFlashForm::kTransferSize);
constexpr int kReadyPolls = 500;
constexpr unsigned kReadyPollMilliseconds = 30;
constexpr std::uint16_t kCommitTimeout = 180;
constexpr std::uint16_t kNormalTimeout = 60;
constexpr int kCommitProgressMax = 200;

// A read that reports success may bring less than it was asked for (ATAPI drives
// report no residual count), leaving the transfer buffer as the previous command
// left it; equal chunks, such as runs of FF, would then pass the compare. Filling
// the reply area with the complement of the expected bytes first makes every byte
// the drive did not send a difference.
void ExpectNothingYet(std::uint8_t* reply, const std::uint8_t* expected, std::size_t n) {
  if (reply == nullptr) return;
  for (std::size_t i = 0; i < n; ++i) reply[i] = static_cast<std::uint8_t>(~expected[i]);
}

void AppendCaption(Toolkit& ui, const char* text) {
  ui.SetGroupCaption(ui.GroupCaption() + text);
}

// Standard commands: sent as constants and never judged.
void Send(TCdDrive& drive, std::uint8_t op, std::uint8_t byte4 = 0) {
  drive.ExecuteCommand(op, 0, 0, 0, byte4, 0, 0, 0, 0, 0, 0, 0, 1, 0);
}
constexpr std::uint8_t kTestUnitReady = 0x00;
constexpr std::uint8_t kStartStopUnit = 0x1B;
constexpr std::uint8_t kStopPlayScan = 0x4E;
constexpr std::uint8_t kLoad = 0x03;

// Load the tray and wait, at most 500 polls, while the drive is becoming ready.
void PrepareDrive(TCdDrive& drive, Toolkit& ui) {
  Send(drive, kStartStopUnit, kLoad);
  for (int poll = 0; poll < kReadyPolls; ++poll) {
    ui.Sleep(kReadyPollMilliseconds);
    Send(drive, kTestUnitReady);
    Send(drive, kStopPlayScan);
    if (!drive.SenseIs(0x02, 0x04, 0x01)) break;
  }
  Send(drive, kStopPlayScan);
  Send(drive, kStartStopUnit);
}

std::string Question(const TFlashForm& form, const std::string& current, const std::string& next) {
  const std::string update = "\nUpdate Firmware " + current + " to " + next + " ?\n";
  if (!form.NamesNoFirmwareRange() && CompareBytes(current, next) >= 0) {
    return "\nWARNING !!!\n\nYour drive Firmware " + current + " is aready the most updated !\n" + update;
  }
  return update;
}

// From the first drive command to the refreshed line: the drive taken from other
// programs and from the system's polling, the machine kept from sleeping and
// shutting down, and nothing the user does by accident may stop the update or
// start another. Given back in the reverse order, the work last: its end may end
// the program for a signal that came meanwhile.
class UpdateSpell {
 public:
  UpdateSpell(TCdDrive& drive, Toolkit& ui) : drive_(drive), ui_(ui) {
    held_ = drive_.Claim(reason_);
    if (!held_) return;
    InstalledSystemGuard().HoldOff();
    ui_.BeginWork();
  }
  ~UpdateSpell() {
    if (!held_) return;
    InstalledSystemGuard().Release();
    drive_.Release();
    ui_.EndWork();
  }
  UpdateSpell(const UpdateSpell&) = delete;
  UpdateSpell& operator=(const UpdateSpell&) = delete;

  bool Refused() const { return !held_; }
  std::string RefusalText() const {
    return "\nERROR:\n\nDrive " + drive_.Name() + " is in use by another program" +
           (reason_.empty() ? std::string() : " (" + reason_ + ")") +
           ".\nClose that program or let it finish, then choose FLASH again.\n"
           "Nothing has been sent to the drive.\n";
  }

 private:
  TCdDrive& drive_;
  Toolkit& ui_;
  bool held_ = false;
  std::string reason_;
};

}  // namespace

void TFlashForm::UpdateFirmware() {
  ProfileFound = false;
  NewFormatDvdRom = false;
  ProfileLength = 0;
  LastUpdate = UpdateOutcome::NotRun;
  LastUpdateStep.clear();
  const int line = ui_.ComboIndex();
  if (Drive == nullptr) return;

  // A damaged flash program would commit a buffer that was never loaded, or send
  // bytes from beyond the image area: refuse it before the drive is touched.
  if (ImageSize == 0 || ImageSize > kImageAreaSize) {
    ui_.MessageDialog(Format("\nERROR:\n\nThe firmware image in this flash program is damaged "
                             "(size %u bytes, limit %u).\nNothing has been sent to the drive.\n",
                             static_cast<unsigned>(ImageSize), static_cast<unsigned>(kImageAreaSize)),
                      DialogKind::Error);
    LastUpdate = UpdateOutcome::Refused;
    return;
  }

  const std::string current = Drive->GetRevision();
  const std::string next = Format("%4.4s", FieldText(package_.FirmwareName, kFirmwareNameSize).c_str());
  const DialogKind kind = CompareBytes(current, next) > 0 ? DialogKind::Warning : DialogKind::Confirmation;
  if (ui_.MessageDialog(Question(*this, current, next), kind) != DialogResult::Yes) {
    LastUpdate = UpdateOutcome::Declined;
    return;
  }

  // A flat battery in the middle of the commit would ruin the drive: on battery
  // below the threshold the update does not begin.
  const PowerReading power = InstalledSystemGuard().ReadPower();
  if (PowerTooLowToUpdate(power)) {
    ui_.MessageDialog(LowPowerText(power), DialogKind::Error);
    LastUpdate = UpdateOutcome::Refused;
    return;
  }

  FlashAll = std::memcmp(package_.NoteText, "FLASH-ALL", 9) == 0;
  const UpdateSpell spell(*Drive, ui_);
  if (spell.Refused()) {
    ui_.MessageDialog(spell.RefusalText(), DialogKind::Error);
    LastUpdate = UpdateOutcome::Refused;
    return;
  }
  PrepareDrive(*Drive, ui_);

  ui_.SetProgressMin(0);
  ui_.SetProgressMax(static_cast<int>(ImageSize));
  ui_.SetProgressStep(kChunk);
  if (!ChunkBuffer) ChunkBuffer = std::make_unique<std::uint8_t[]>(kTransferSize);
  ui_.SetCursor(CursorShape::Hourglass);
  LoadVerifyCommit(line);
  ui_.SetCursor(CursorShape::Default);
  ui_.SetProgressPosition(0);
  ui_.SetCursor(CursorShape::Default);
}

void TFlashForm::LoadVerifyCommit(int line) {
  std::uint8_t* chunk = ChunkBuffer.get();
  const std::uint8_t* image = package_.ImageArea;
  // A failure ends the update in its stage, which the report names.
  const auto failed = [this](const char* stage) {
    LastUpdate = UpdateOutcome::Failed;
    LastUpdateStep = stage;
  };

  if (NewFormat1100 || NewFormatNamed) {
    ui_.SetGroupCaption("Write profile to drive's DRAM... ");
    if (!SetupFlashProfile(chunk)) {
      AppendCaption(ui_, ", Fail! ");
      failed("Write profile to drive's DRAM");
      return;
    }
    // The copy always holds the whole block as sent, however long an earlier
    // update's block was. An empty block (a chip without a profile) leaves the
    // copy as it is, possibly still unallocated.
    const auto length = static_cast<std::size_t>(ProfileLength);
    if (ProfileCopy.size() < length) ProfileCopy.resize(length);
    if (length > 0) std::memcpy(ProfileCopy.data(), chunk, length);
  }

  ui_.SetGroupCaption("Write BIN to drive's DRAM... ");
  ui_.SetProgressPosition(0);
  for (std::int32_t offset = 0; static_cast<std::uint32_t>(offset) < ImageSize; offset += kChunk) {
    std::memcpy(chunk, image + offset, kTransferSize);
    if (!WriteBuffer(offset, chunk, kChunk, kControlData)) {
      AppendCaption(ui_, ", Fail! ");
      failed("Write BIN to drive's DRAM");
      return;
    }
    ui_.ProgressStepIt();
  }

  if (NewFormat1100) {
    ui_.SetGroupCaption("Drive entry critical... ");
    if (!EntryCritical()) {
      AppendCaption(ui_, ", Fail! ");
      failed("Drive entry critical");
      return;
    }
  }

  ui_.SetGroupCaption("Read back and Verify drive's DRAM... ");
  if (ProfileFound && !ReadVerifyProfile(ProfileCopy.data())) {
    AppendCaption(ui_, ", Valid Profile Fail!");
    failed("Read back and Verify drive's DRAM");
    return;
  }
  ui_.SetProgressPosition(0);
  for (std::int32_t offset = 0; static_cast<std::uint32_t>(offset) < ImageSize; offset += kChunk) {
    ExpectNothingYet(TransferBuffer, image + offset, kTransferSize);
    if (!ReadBuffer(offset, chunk, kChunk)) {
      AppendCaption(ui_, ", Read Fail! ");
      failed("Read back and Verify drive's DRAM");
      return;
    }
    if (std::memcmp(image + offset, chunk, kTransferSize) != 0) {
      AppendCaption(ui_, ", Compare BIN and DRAM Fail! ");
      ui_.ShowMessage("Compare BIN and DRAM fail!");
      failed("Read back and Verify drive's DRAM");
      return;
    }
    ui_.ProgressStepIt();
  }

  ui_.SetGroupCaption("Don't turn off the system, Flash is in progress...");
  ui_.SetProgressMax(kCommitProgressMax);
  ui_.SetProgressPosition(kCommitProgressMax - 2);
  ui_.SetProgressStep(0);
  Drive->SetTimeout(kCommitTimeout);
  if (!WriteBuffer(0, ProfileCopy.data(), 0, FlashAll ? kControlFlashAll : kControlFlash)) {
    // The time-out stays raised: the drive may still be busy with its flash.
    ui_.SetGroupCaption("Flash Fail.");
    failed("Flash");
    return;
  }
  Drive->SetTimeout(kNormalTimeout);
  ui_.SetProgressPosition(kCommitProgressMax);
  ui_.SetGroupCaption("Flash Completed.");
  LastUpdate = UpdateOutcome::Updated;

  const std::string text = Drive->GetDriveText();
  if (line >= 0 && line < ui_.ComboCount()) {
    ui_.ComboInsert(line, text);
    ui_.ComboDelete(line + 1);
    ui_.ComboSelect(line);
  }
  ui_.ComboRedraw();
}
