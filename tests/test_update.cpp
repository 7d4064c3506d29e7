// The update procedure against the simulated drive, driven the way the program
// drives it: a flash program's window, the user pressing FLASH and answering.
#include <gtest/gtest.h>

#include <algorithm>

#include "app/SystemGuard.h"
#include "tests/UpdateRig.h"

namespace {

// The system around the program, as a test sets it: a power reading, and where
// in the drive's log the machine was held awake and let go.
struct GuardDouble : SystemGuard {
  explicit GuardDouble(const SimulatedDrive* drive, PowerReading reading = {})
      : Drive(drive), Reading(reading) {
    InstallSystemGuard(this);
  }
  ~GuardDouble() override { InstallSystemGuard(nullptr); }
  PowerReading ReadPower() override { return Reading; }
  void HoldOff() override { HeldAt.push_back(static_cast<int>(Drive->Log().size())); }
  void Release() override { ReleasedAt.push_back(static_cast<int>(Drive->Log().size())); }

  const SimulatedDrive* Drive;
  PowerReading Reading;
  std::vector<int> HeldAt, ReleasedAt;
};

constexpr std::uint32_t kFull = 524288;
constexpr char kUpload[] = "Write BIN to drive's DRAM... ";
constexpr char kProfile[] = "Write profile to drive's DRAM... ";
constexpr char kCritical[] = "Drive entry critical... ";
constexpr char kVerify[] = "Read back and Verify drive's DRAM... ";
constexpr char kCommitting[] = "Don't turn off the system, Flash is in progress...";

using Received = SimulatedDrive::Received;

std::vector<const Received*> Commands(const SimulatedDrive& drive, std::uint8_t opcode, int control = -1) {
  std::vector<const Received*> found;
  for (const Received& r : drive.Log()) {
    if (r.Cdb[0] == opcode && (control < 0 || r.Cdb[9] == control)) found.push_back(&r);
  }
  return found;
}

int CommitsSent(const SimulatedDrive& drive) {
  return drive.CountCommands(0x3B, 0x80) + drive.CountCommands(0x3B, 0xA0);
}

std::uint32_t Offset(const Received& r) {
  return static_cast<std::uint32_t>(r.Cdb[3]) << 16 | r.Cdb[4] << 8 | r.Cdb[5];
}

std::vector<std::string> Captions(Scheme scheme) {
  std::vector<std::string> captions;
  if (scheme != Scheme::None) captions.push_back(kProfile);
  captions.push_back(kUpload);
  if (scheme == Scheme::ShortHeader) captions.push_back(kCritical);
  captions.insert(captions.end(), {kVerify, kCommitting, "Flash Completed."});
  return captions;
}

TEST(Update, LoadsVerifiesAndCommitsInEachScheme) {
  for (const Scheme scheme : {Scheme::None, Scheme::ShortHeader, Scheme::LongHeader}) {
    for (const std::uint32_t size : {kFull, 100000u}) {
      SCOPED_TRACE(std::string(SchemeName(scheme)) + ", " + std::to_string(size));
      UpdateRig rig(SchemePackage(size, scheme));
      ASSERT_EQ(rig.Form().ImageSize, size);
      const GuardDouble guard(rig.Drive, {PowerReading::Supply::Battery, 25});
      rig.PressFlash();

      const RecordingToolkit& ui = rig.Ui();
      EXPECT_EQ(ui.GroupHistory, Captions(scheme));
      EXPECT_TRUE(ui.Messages.empty());
      // One spell of uninterruptible work holds every command, the refresh included.
      EXPECT_EQ(ui.WorkSpells, 1);
      EXPECT_FALSE(ui.Working);
      EXPECT_EQ(ui.StepsRunWhileWorking, static_cast<int>(rig.Drive->Log().size()));
      ASSERT_EQ(ui.Dialogs.size(), 2u);
      EXPECT_EQ(ui.Dialogs[1].Text, "\nUpdate Firmware 1000 to 2000 ?\n");
      EXPECT_EQ(ui.Dialogs[1].Kind, DialogKind::Confirmation);

      // Every chunk goes out and comes back whole, the last one reaching past the
      // image into the rest of the area; the drive's flash then holds all of it.
      const std::uint32_t chunks = (size + 16383) / 16384;
      const std::uint8_t* area = rig.Package().ImageArea;
      const auto writes = Commands(*rig.Drive, 0x3B, 0x00);
      ASSERT_EQ(writes.size(), chunks);
      auto reads = Commands(*rig.Drive, 0x3C);
      if (scheme == Scheme::ShortHeader) {
        ASSERT_FALSE(reads.empty());
        EXPECT_EQ(Offset(*reads.front()), 0x80000u) << "the profile is read back first";
        reads.erase(reads.begin());
      }
      ASSERT_EQ(reads.size(), chunks);
      for (std::uint32_t i = 0; i < chunks; ++i) {
        EXPECT_EQ(Offset(*writes[i]), i * 16384);
        EXPECT_EQ(writes[i]->Length, 16384u);
        EXPECT_TRUE(std::equal(writes[i]->Data.begin(), writes[i]->Data.end(), area + i * 16384));
        EXPECT_EQ(Offset(*reads[i]), i * 16384);
        EXPECT_EQ(reads[i]->Length, 16384u);
      }
      const auto& flash = rig.Drive->Flash();
      EXPECT_TRUE(std::equal(area, area + chunks * 16384, flash.begin()));
      EXPECT_EQ(rig.Drive->Commits(), 1);
      EXPECT_EQ(rig.Drive->CountCommands(0x3B, 0x80), 1);
      EXPECT_EQ(rig.Drive->Log().back().Cdb[0], 0x12) << "the INQUIRY of the refreshed line comes last";

      EXPECT_EQ(rig.Drive->CountCommands(0xDF), scheme == Scheme::None ? 0 : 1);
      EXPECT_EQ(rig.Drive->CountCommands(0x3B, 0x7F), scheme == Scheme::ShortHeader  ? 2
                                                      : scheme == Scheme::LongHeader ? 1
                                                                                     : 0);
      EXPECT_EQ(rig.Drive->EnteredCritical(), scheme == Scheme::ShortHeader);

      // Preparation: load, one poll of a drive that is ready at once, stop.
      const auto& log = rig.Drive->Log();
      // The drive is taken and the machine held awake from the first command to
      // the refreshed line, and both are given back.
      EXPECT_TRUE(std::all_of(log.begin(), log.end(), [](const Received& r) { return r.Claimed; }));
      EXPECT_EQ(rig.Drive->Claims(), 1);
      EXPECT_FALSE(rig.Drive->Claimed());
      EXPECT_EQ(guard.HeldAt, std::vector<int>{0});
      EXPECT_EQ(guard.ReleasedAt, std::vector<int>{static_cast<int>(log.size())});
      ASSERT_GE(log.size(), 5u);
      const std::uint8_t prepared[5][2] = {
          {0x1B, 0x03}, {0x00, 0x00}, {0x4E, 0x00}, {0x4E, 0x00}, {0x1B, 0x00}};
      for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(log[i].Cdb[0], prepared[i][0]);
        EXPECT_EQ(log[i].Cdb[4], prepared[i][1]);
        EXPECT_TRUE(log[i].DataIn);
        EXPECT_EQ(log[i].Length, 0u);
      }
      EXPECT_EQ(ui.Sleeps, 1u);
      EXPECT_EQ(ui.SleptMilliseconds, 30u);

      // The bar follows the offset up and back, then 198 of 200, 200, and 0.
      std::vector<int> progress;
      for (int pass = 0; pass < 2; ++pass) {
        for (std::uint32_t i = 0; i <= chunks; ++i) progress.push_back(static_cast<int>(i * 16384));
      }
      progress.insert(progress.end(), {198, 200, 0});
      EXPECT_EQ(ui.ProgressHistory, progress);
      EXPECT_EQ(ui.ProgressMax, 200);
      EXPECT_EQ(ui.Cursors, (std::vector<CursorShape>{CursorShape::Hourglass, CursorShape::Default,
                                                      CursorShape::Default}));
      EXPECT_EQ(Cddrive::Unit().Timeout, 60);
      ASSERT_EQ(ui.ComboLines.size(), 1u);
      EXPECT_EQ(ui.ComboLines[0], "0-0-0 D: QVXR    CRW-5224A       2000");
      EXPECT_EQ(ui.ComboSelected, 0);
      EXPECT_GE(ui.ComboRedraws, 1);
    }
  }
}

struct QuestionCase {
  const char* name;
  const char* range;
  const char* revision;  // the drive's
  const char* firmware;  // the package's FirmwareName
  const char* question;
  DialogKind kind;
};

// clang-format off
const QuestionCase kQuestionCases[] = {
    {"newer firmware", "1000-1FFF", "1000", "2000.",
     "\nUpdate Firmware 1000 to 2000 ?\n", DialogKind::Confirmation},
    {"same revision: warning text, confirmation type", "1000-1FFF", "1500", "1500.",
     "\nWARNING !!!\n\nYour drive Firmware 1500 is aready the most updated !\n\nUpdate Firmware 1500 to 1500 ?\n",
     DialogKind::Confirmation},
    {"older firmware: warning text, warning type", "1000-1FFF", "1500", "1200.",
     "\nWARNING !!!\n\nYour drive Firmware 1500 is aready the most updated !\n\nUpdate Firmware 1500 to 1200 ?\n",
     DialogKind::Warning},
    {"no range, older firmware: plain text, warning type", "-AAA--BBB", "1500", "1200.",
     "\nUpdate Firmware 1500 to 1200 ?\n", DialogKind::Warning},
    {"no range, same revision", "-XXX--YYY", "1500", "1500.",
     "\nUpdate Firmware 1500 to 1500 ?\n", DialogKind::Confirmation},
    {"short firmware name is right-aligned and smaller", "1000-1FFF", "1500", "15",
     "\nWARNING !!!\n\nYour drive Firmware 1500 is aready the most updated !\n\nUpdate Firmware 1500 to   15 ?\n",
     DialogKind::Warning},
    {"bytes compare unsigned", "1000-\xFF\xFF\xFF\xFF", "1500", "\xE0" "000.",
     "\nUpdate Firmware 1500 to \xE0" "000 ?\n", DialogKind::Confirmation},
};
// clang-format on

TEST(Update, QuestionFormsAndAnyAnswerButYesSendsNothing) {
  for (const QuestionCase& c : kQuestionCases) {
    for (const DialogResult answer : {DialogResult::No, DialogResult::Closed}) {
      SCOPED_TRACE(c.name);
      PackageFields fields;
      fields.Range = c.range;
      fields.FirmwareName = c.firmware;
      SimDriveConfig drive;
      drive.Revision = c.revision;
      UpdateRig rig(SchemePackage(kFull, Scheme::ShortHeader, fields), drive);
      ASSERT_EQ(rig.Ui().ComboLines.size(), 1u) << "the drive must be eligible";
      TFlashForm& form = rig.Form();
      form.ProfileFound = true;
      form.NewFormatDvdRom = true;
      form.ProfileLength = 99;
      rig.PressFlash(answer);

      ASSERT_EQ(rig.Ui().Dialogs.size(), 2u);
      EXPECT_EQ(rig.Ui().Dialogs[1].Text, c.question);
      EXPECT_EQ(rig.Ui().Dialogs[1].Kind, c.kind);
      EXPECT_TRUE(rig.Drive->Log().empty());
      EXPECT_FALSE(form.ProfileFound);
      EXPECT_FALSE(form.NewFormatDvdRom);
      EXPECT_EQ(form.ProfileLength, 0);
      EXPECT_TRUE(form.NewFormat1100) << "the scheme stays";
      EXPECT_TRUE(rig.Ui().GroupHistory.empty());
      EXPECT_TRUE(rig.Ui().Cursors.empty());
      EXPECT_EQ(rig.Ui().Sleeps, 0u);
      EXPECT_EQ(rig.Ui().WorkSpells, 0);
    }
  }
}

TEST(Update, FlashAllNoteSelectsTheCommitForm) {
  const struct {
    const char* note;
    std::uint8_t control;
  } cases[] = {{"FLASH-ALL", 0xA0}, {"FLASH-ALL drives", 0xA0}, {"flash-all", 0x80},
               {"FLASH-AL", 0x80},  {" FLASH-ALL", 0x80},       {"", 0x80}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.note);
    PackageFields fields;
    fields.Note = c.note;
    UpdateRig rig(SchemePackage(16384, Scheme::None, fields));
    rig.PressFlash();
    EXPECT_EQ(rig.Ui().Group, "Flash Completed.");
    EXPECT_EQ(rig.Form().FlashAll, c.control == 0xA0);
    const auto commits = Commands(*rig.Drive, 0x3B, c.control);
    ASSERT_EQ(commits.size(), 1u);
    EXPECT_EQ(CommitsSent(*rig.Drive), 1);
  }
}

// A chip without a profile, or a Read Flash ID that brings nothing, is no failure:
// the drive gets an empty profile, nothing is read back for it, and the update
// goes on to its commit (the first update of a window, with no copy kept yet).
TEST(Update, AChipWithoutAProfileGetsAnEmptyOneAndTheUpdateCompletes) {
  const struct {
    const char* name;
    Scheme scheme;
    std::uint8_t manufacturer;
    std::vector<SimFault> faults;
  } cases[] = {
      {"unknown chip", Scheme::ShortHeader, 0x01, {}},
      {"unknown chip", Scheme::LongHeader, 0x01, {}},
      {"Read Flash ID brings no data", Scheme::ShortHeader, 0xBF, {{SimFault::Kind::DropWrite, 0xDF}}},
      {"Read Flash ID brings no data", Scheme::LongHeader, 0xBF, {{SimFault::Kind::DropWrite, 0xDF}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.name) + ", " + SchemeName(c.scheme));
    SimDriveConfig drive;
    drive.FlashManufacturer = c.manufacturer;
    UpdateRig rig(SchemePackage(16384, c.scheme), drive);
    rig.Drive->Config().Faults = c.faults;
    rig.PressFlash();
    EXPECT_EQ(rig.Ui().Group, "Flash Completed.");
    EXPECT_TRUE(rig.Ui().Messages.empty());
    const auto profiles = Commands(*rig.Drive, 0x3B, 0x7F);
    ASSERT_FALSE(profiles.empty());
    EXPECT_EQ(profiles.front()->Length, 0u);
    EXPECT_EQ(rig.Drive->CountCommands(0x3C), 1) << "only the image chunk is read back";
    EXPECT_EQ(rig.Drive->Commits(), 1);
  }
}

// A damaged program, a low battery and a drive another program holds stop the
// update after its question and before its first command; the drive list stays.
TEST(Update, RefusedBeforeAnyCommand) {
  using Supply = PowerReading::Supply;
  const auto damaged = [](std::uint32_t size) {
    return "\nERROR:\n\nThe firmware image in this flash program is damaged (size " + std::to_string(size) +
           " bytes, limit 524288).\nNothing has been sent to the drive.\n";
  };
  const std::string battery = "\nERROR:\n\nThe computer is running on its battery, which is at ";
  const std::string advice =
      ".\nA firmware update cut off by a flat battery ruins the drive.\n"
      "Plug in the power adapter, then choose FLASH again.\nNothing has been sent to the drive.\n";
  const struct {
    const char* name;
    std::uint32_t size;
    PowerReading power;
    bool held;
    std::string text;  // the error box; "" when the update runs
  } cases[] = {
      {"size 0", 0, {}, false, damaged(0)},
      {"size 524289", 524289, {}, false, damaged(524289)},
      {"size FFFFFFFF", 0xFFFFFFFF, {}, false, damaged(0xFFFFFFFF)},
      {"battery 24 %", kFull, {Supply::Battery, 24}, false, battery + "24 %" + advice},
      {"battery 25 %", kFull, {Supply::Battery, 25}, false, ""},
      {"battery, charge unknown", kFull, {Supply::Battery, -1}, false, ""},
      {"mains, battery at 3 %", kFull, {Supply::Mains, 3}, false, ""},
      {"source unknown, 3 %", kFull, {Supply::Unknown, 3}, false, ""},
      {"held by another program",
       kFull,
       {},
       true,
       "\nERROR:\n\nDrive sim0 is in use by another program (Device or resource busy).\n"
       "Close that program or let it finish, then choose FLASH again.\nNothing has been sent to the "
       "drive.\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto package = SchemePackage(kFull, Scheme::None);
    SetPackageImageSize(*package, c.size);
    UpdateRig rig(std::move(package));
    rig.Drive->Config().Held = c.held;
    const GuardDouble guard(rig.Drive, c.power);
    ASSERT_EQ(rig.Ui().ComboLines.size(), 1u);
    const std::vector<std::string> lines = rig.Ui().ComboLines;
    rig.PressFlash();
    if (c.text.empty()) {
      EXPECT_EQ(rig.Drive->Commits(), 1);
      EXPECT_EQ(rig.Ui().Dialogs.size(), 2u);
      continue;
    }
    EXPECT_TRUE(rig.Drive->Log().empty());
    // A damaged program is refused before the question, the rest after it.
    ASSERT_EQ(rig.Ui().Dialogs.size(), c.size == kFull ? 3u : 2u);
    EXPECT_EQ(rig.Ui().Dialogs.back().Kind, DialogKind::Error);
    EXPECT_EQ(rig.Ui().Dialogs.back().Text, c.text);
    EXPECT_TRUE(rig.Ui().GroupHistory.empty());
    EXPECT_EQ(rig.Ui().ComboLines, lines);
    EXPECT_EQ(rig.Ui().WorkSpells, 0);
    EXPECT_TRUE(guard.HeldAt.empty());
    EXPECT_EQ(rig.Drive->Claims(), 0);
    EXPECT_EQ(rig.Drive->Commits(), 0);
  }
}

TEST(Update, PreparationIsNotJudgedAndThePollIsBounded) {
  const struct {
    const char* name;
    int becomingReady;
    std::vector<SimFault> faults;
    unsigned sleeps;
  } cases[] = {
      {"never ready: 500 polls, then on", -1, {}, 500},
      {"ready after three polls", 3, {}, 4},
      {"load fails", 0, {{SimFault::Kind::CheckCondition, 0x1B, -1, 1, 0x02, 0x3A, 0x00}}, 1},
      {"every TEST UNIT READY fails in the transport", 0, {{SimFault::Kind::TransportFailure, 0x00}}, 1},
      {"every STOP PLAY/SCAN times out", 0, {{SimFault::Kind::Timeout, 0x4E}}, 1},
      {"stop fails", 0, {{SimFault::Kind::CheckCondition, 0x1B, -1, 2}}, 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    SimDriveConfig drive;
    drive.BecomingReadyPolls = c.becomingReady;
    UpdateRig rig(SchemePackage(16384, Scheme::ShortHeader), drive);
    rig.Drive->Config().Faults = c.faults;
    rig.PressFlash();
    EXPECT_EQ(rig.Ui().Group, "Flash Completed.");
    EXPECT_EQ(rig.Ui().Sleeps, c.sleeps);
    EXPECT_EQ(rig.Ui().SleptMilliseconds, 30 * c.sleeps);
    EXPECT_EQ(rig.Drive->CountCommands(0x00), static_cast<int>(c.sleeps));
    EXPECT_EQ(rig.Drive->CountCommands(0x4E), static_cast<int>(c.sleeps) + 1);
    EXPECT_EQ(rig.Drive->CountCommands(0x1B), 2);
    EXPECT_EQ(rig.Drive->Commits(), 1);
  }
}

// One command of the update, and what the window shows when it fails there.
struct Step {
  const char* name;
  Scheme scheme;
  std::uint8_t opcode;
  int control;
  int occurrence;
  const char* tag;
  std::string caption;
};

const std::string kProfileStageFail = std::string(kProfile) + ", Fail! ";
const std::string kUploadFail = std::string(kUpload) + ", Fail! ";

// clang-format off
const Step kSteps[] = {
    {"Read Flash ID", Scheme::ShortHeader, 0xDF, -1, 1, "Read Flash ID> ", kProfileStageFail},
    {"Read Flash ID", Scheme::LongHeader, 0xDF, -1, 1, "Read Flash ID> ", kProfileStageFail},
    {"Write Profile", Scheme::ShortHeader, 0x3B, 0x7F, 1, "Write Profile> ", kProfileStageFail},
    {"Write Profile", Scheme::LongHeader, 0x3B, 0x7F, 1, "Write Profile> ", kProfileStageFail},
    {"first image chunk", Scheme::None, 0x3B, 0x00, 1, "Write Buffer> ", kUploadFail},
    {"last image chunk", Scheme::ShortHeader, 0x3B, 0x00, 32, "Write Buffer> ", kUploadFail},
    {"entry critical", Scheme::ShortHeader, 0x3B, 0x7F, 2, "Entry critical> ", std::string(kCritical) + ", Fail! "},
    {"Read Profile", Scheme::ShortHeader, 0x3C, -1, 1, "Read Profile> ", std::string(kVerify) + ", Valid Profile Fail!"},
    {"first chunk read back", Scheme::LongHeader, 0x3C, -1, 1, "Read Buffer> ", std::string(kVerify) + ", Read Fail! "},
    {"last chunk read back", Scheme::ShortHeader, 0x3C, -1, 33, "Read Buffer> ", std::string(kVerify) + ", Read Fail! "},
    {"commit", Scheme::None, 0x3B, 0x80, 1, "Write Buffer> ", "Flash Fail."},
    {"commit", Scheme::ShortHeader, 0x3B, 0x80, 1, "Write Buffer> ", "Flash Fail."},
    {"commit", Scheme::LongHeader, 0x3B, 0x80, 1, "Write Buffer> ", "Flash Fail."},
};
// clang-format on

// A fault that hits the data rather than the command.
struct DataFault {
  const char* name;
  Scheme scheme;
  SimFault fault;
  std::string caption;
  const char* message;
  std::uint8_t lastOpcode;  // the command after which the update stops
};

const std::string kCompareFail = std::string(kVerify) + ", Compare BIN and DRAM Fail! ";
const std::string kProfileFail = std::string(kVerify) + ", Valid Profile Fail!";

constexpr char kCompareMessage[] = "Compare BIN and DRAM fail!";
constexpr char kProfileMessage[] = "Compared profile error!";
using K = SimFault::Kind;

// clang-format off
const DataFault kDataFaults[] = {
    {"flipped bit reading the profile back", Scheme::ShortHeader, {K::FlipReadBit, 0x3C, -1, 1}, kProfileFail, kProfileMessage, 0x3C},
    {"flipped bit in the first chunk read back", Scheme::None, {K::FlipReadBit, 0x3C, -1, 1}, kCompareFail, kCompareMessage, 0x3C},
    {"flipped bit in the last chunk read back", Scheme::ShortHeader, {K::FlipReadBit, 0x3C, -1, 33}, kCompareFail, kCompareMessage, 0x3C},
    {"flipped bit in the last chunk read back", Scheme::LongHeader, {K::FlipReadBit, 0x3C, -1, 32}, kCompareFail, kCompareMessage, 0x3C},
    {"flipped bit storing a chunk", Scheme::LongHeader, {K::FlipReadBit, 0x3B, 0x00, 5}, kCompareFail, kCompareMessage, 0x3C},
    {"profile write dropped", Scheme::ShortHeader, {K::DropWrite, 0x3B, 0x7F, 1}, kProfileFail, kProfileMessage, 0x3C},
    {"chunk write dropped", Scheme::None, {K::DropWrite, 0x3B, 0x00, 3}, kCompareFail, kCompareMessage, 0x3C},
    {"last chunk write dropped", Scheme::ShortHeader, {K::DropWrite, 0x3B, 0x00, 32}, kCompareFail, kCompareMessage, 0x3C},
    {"profile read back came short", Scheme::ShortHeader, {K::Reply, 0x3C, -1, 1, 0, 0, 0, 0x00, {}, 0, 4}, kProfileFail, "Read Profile> 00 00 00. 00, 0005", 0x3C},
    {"chunk read back came short", Scheme::None, {K::Reply, 0x3C, -1, 2, 0, 0, 0, 0x00, {}, 0, 4}, std::string(kVerify) + ", Read Fail! ", "Read Buffer> 00 00 00. 00, 0005", 0x3C},
    {"failing commit", Scheme::None, {K::CommitFailure}, "Flash Fail.", "Write Buffer> 04 44 00. 02, 0000", 0x3B},
    {"failing commit", Scheme::ShortHeader, {K::CommitFailure, 0, -1, 0, 0x03, 0x0C, 0x00}, "Flash Fail.", "Write Buffer> 03 0C 00. 02, 0000", 0x3B},
    {"failing commit", Scheme::LongHeader, {K::CommitFailure}, "Flash Fail.", "Write Buffer> 04 44 00. 02, 0000", 0x3B},
};
// clang-format on

// What every stopped update leaves: the old flash, the old line, the finishing
// steps done, and no commit unless the commit itself was the step that failed.
void ExpectStopped(UpdateRig& rig, const std::vector<std::uint8_t>& oldFlash, bool atCommit) {
  EXPECT_EQ(rig.Drive->Flash(), oldFlash);
  EXPECT_EQ(rig.Drive->Commits(), 0);
  EXPECT_EQ(CommitsSent(*rig.Drive), atCommit ? 1 : 0);
  EXPECT_EQ(Cddrive::Unit().Timeout, atCommit ? 180 : 60);
  EXPECT_EQ(rig.Ui().ComboLines, std::vector<std::string>{"0-0-0 D: QVXR    CRW-5224A       1000"});
  EXPECT_EQ(rig.Ui().Cursors,
            (std::vector<CursorShape>{CursorShape::Hourglass, CursorShape::Default, CursorShape::Default}));
  EXPECT_EQ(rig.Ui().Progress, 0);
  EXPECT_EQ(rig.Ui().ProgressHistory.back(), 0);
  EXPECT_EQ(rig.Ui().WorkSpells, 1);
  EXPECT_FALSE(rig.Ui().Working) << "a failed update ends its work too";
}

TEST(UpdateFaultMatrix, EveryCommandAndEveryFailureStopsBeforeTheFlashChanges) {
  const std::vector<std::uint8_t> oldFlash = MakeImage(kFull, 9);
  for (const Step& s : kSteps) {
    for (const FailureKind& k : kFailureKinds) {
      SCOPED_TRACE(std::string(s.name) + ", " + SchemeName(s.scheme) + ", " + k.name);
      UpdateRig rig(SchemePackage(kFull, s.scheme));
      rig.Drive->SetFlash(oldFlash);
      rig.Drive->Config().Faults = {{k.kind, s.opcode, s.control, s.occurrence}};
      rig.PressFlash();
      EXPECT_EQ(rig.Ui().Group, s.caption);
      EXPECT_EQ(rig.Ui().Messages, std::vector<std::string>{s.tag + std::string(k.sense)});
      const Received& last = rig.Drive->Log().back();
      EXPECT_EQ(last.Cdb[0], s.opcode) << "nothing is sent after the failing command";
      if (s.control >= 0) {
        EXPECT_EQ(last.Cdb[9], s.control);
      }
      ExpectStopped(rig, oldFlash, s.opcode == 0x3B && s.control == 0x80);
    }
  }
  for (const DataFault& d : kDataFaults) {
    SCOPED_TRACE(std::string(d.name) + ", " + SchemeName(d.scheme));
    UpdateRig rig(SchemePackage(kFull, d.scheme));
    rig.Drive->SetFlash(oldFlash);
    rig.Drive->Config().Faults = {d.fault};
    rig.PressFlash();
    EXPECT_EQ(rig.Ui().Group, d.caption);
    EXPECT_EQ(rig.Ui().Messages, std::vector<std::string>{d.message});
    EXPECT_EQ(rig.Drive->Log().back().Cdb[0], d.lastOpcode);
    ExpectStopped(rig, oldFlash, d.fault.What == SimFault::Kind::CommitFailure);
  }
}

// A read that reports success but brings no data leaves the transfer buffer as the
// previous command left it. Two equal chunks (runs of FF fill whole chunks of real
// images) then make stale bytes look like a good read-back.
TEST(UpdateFaultMatrix, AReadBackThatBringsNoDataNeverPasses) {
  std::vector<std::uint8_t> image = MakeImage(16384);
  image.insert(image.end(), image.begin(), image.end());  // chunk 1 equals chunk 0
  const std::vector<std::uint8_t> oldFlash = MakeImage(kFull, 9);
  const struct {
    const char* name;
    std::vector<SimFault> faults;
  } cases[] = {
      {"first read: the buffer still holds the last chunk written", {{K::DropWrite, 0x3C, -1, 1}}},
      {"last read: the buffer still holds the chunk read before", {{K::DropWrite, 0x3C, -1, 2}}},
      {"the chunk never stored and its read brings nothing",
       {{K::DropWrite, 0x3B, 0x00, 2}, {K::DropWrite, 0x3C, -1, 2}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto package = MakeFlasherPackage({}, image);
    FillAreaBehind(*package, static_cast<std::uint32_t>(image.size()));
    UpdateRig rig(std::move(package));
    rig.Drive->SetFlash(oldFlash);
    rig.Drive->Config().Faults = c.faults;
    rig.PressFlash();
    EXPECT_EQ(rig.Ui().Group, kCompareFail);
    EXPECT_EQ(rig.Ui().Messages, std::vector<std::string>{kCompareMessage});
    ExpectStopped(rig, oldFlash, false);
  }
}

TEST(Update, RefreshedDriveLine) {
  const struct {
    const char* name;
    int drives;
    int line;  // chosen before FLASH; -1: text typed into the edit field
    bool inquiryFails;
    std::vector<std::string> lines;
    int selected;
  } cases[] = {
      {"the new revision replaces the line", 1, 0, false, {"0-0-0 D: QVXR    CRW-5224A       2000"}, 0},
      {"a failed INQUIRY shows 0", 1, 0, true, {"0"}, 0},
      {"second of two drives: only its line changes",
       2,
       1,
       false,
       {"0-0-0 D: QVXR    CRW-5224A       1000", "0-1-0 E: QVXR    CRW-5224A       2000"},
       1},
      {"no line chosen: the lines stay", 1, -1, false, {"0-0-0 D: QVXR    CRW-5224A       1000"}, -1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    UpdateRig rig(SchemePackage(16384, Scheme::None));
    SimulatedDrive* target = rig.Drive;
    if (c.drives == 2) {
      // Rebuild the window on two drives.
      rig.F.reset();
      SimDriveConfig second;
      second.Name = "sim1";
      second.Letter = 'E';
      second.Target = 1;
      target = &rig.Sim.Add(second);
      Cddrive::ResetUnit();
      rig.F = std::make_unique<FormFixture>(SchemePackage(16384, Scheme::None));
      rig.Ui().Answers = {DialogResult::Yes};
      rig.F->Create();
    }
    if (c.line >= 0) {
      rig.Ui().UserSelectsLine(c.line);
    } else {
      rig.Ui().UserTypesInCombo();
    }
    if (c.inquiryFails) target->Config().InquiryFails = true;
    rig.PressFlash();
    EXPECT_EQ(rig.Ui().Group, "Flash Completed.");
    EXPECT_EQ(target->Commits(), 1);
    EXPECT_EQ(rig.Ui().ComboLines, c.lines);
    EXPECT_EQ(rig.Ui().ComboSelected, c.selected);
    EXPECT_GE(rig.Ui().ComboRedraws, 1);
  }
}

}  // namespace
