// What the flash program does with Wine's own drives and ASPI layer. The prefix
// is prepared by wine-setup.sh: D: is a plain folder that Wine lists as a CD-ROM
// drive, and flashutil_win98_tests.exe runs as a Windows 98 program.
//
//   WineNt        (NT platform)  D: is listed and opened, but Wine's pass-through
//                                answers ERROR_NOT_SUPPORTED for it: no drive.
//   Wine98Aspi    (Windows 98)   ASPI: Wine's WNASPI32.DLL loads but reports no
//                                host adapters: no drive.
//   Wine98NoAspi  (Windows 98, WNASPI32.DLL disabled)  the load-failure message
//                                at every one of the 40 probes.
//   WineKernel    (the kernel stage's machine only)  D: is a real drive: the
//                                pass-through's commands and a whole update.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <initializer_list>
#include <iostream>

#include "app/FlashForm.h"
#include "device/Cddrive.h"
#include "platform/windows/WindowsTransport.h"
#include "tests/ResultContract.h"
#include "tests/Support.h"
#include "tests/UpdateRig.h"

namespace {

const char* const kNoDriveReport =
    "\nERROR:\n\nCan't found CRW-5224A firmware : 1000-1FFF drive !\n"
    "\nThis flash utility only supports CRW-5224A firmware: 1000-1FFF\n"
    "\nCan't find ATAPI Drive !\n";

const char* const kLoadFailure =
    "Unable to load WNASPI32.DLL !\n"
    "You can down the DLL from http://www.example.com/aspi\n"
    " and copy the DLL to system directory.\n"
    "\n";

// Runs a flash program for the package (the default one unless given) on the
// real Windows transport, answering Yes to the warning and to the update's
// question, pressing the button when told, and prints every dialog it shows.
struct FlashProgramRun {
  RecordingToolkit Ui;
  WindowsTransport Transport;
  int ExitCode = -1;

  explicit FlashProgramRun(const FlashPackage& package = *MakeFlasherPackage(), bool pressFlash = false) {
    Cddrive::ResetUnit();
    Cddrive::InstallTransport(&Transport);
    Ui.Answers = {DialogResult::Yes, DialogResult::Yes};
    if (pressFlash) Ui.Script = {[](RecordingToolkit& u) { u.UserPressesButton(); }};
    ExitCode = RunApplication(Ui, package, {});
    Cddrive::InstallTransport(nullptr);
    Cddrive::ResetUnit();
    std::cout << "[the program showed " << Ui.Dialogs.size() << " dialogs and " << Ui.Messages.size()
              << " message boxes]\n";
    for (const RecordingToolkit::Dialog& dialog : Ui.Dialogs) {
      const char* kind = dialog.Kind == DialogKind::Warning ? "Warning"
                         : dialog.Kind == DialogKind::Error ? "Error"
                                                            : "Confirm";
      std::cout << "[" << kind << "]" << dialog.Text << "\n";
    }
    for (const std::string& message : Ui.Messages) std::cout << "[message]" << message << "\n";
  }
};

// Opens D: through the pass-through, sends one command with a data-in phase,
// closes it again.
CommandResult SendToD(PassThroughTransport& transport, std::initializer_list<std::uint8_t> cdb,
                      std::uint8_t* data, std::uint32_t length) {
  const DriveAddress d{'D', 0, 0, 0, {}};
  const OpenResult opened = transport.Open(d);
  EXPECT_NE(opened.Handle, kNoDevice) << "error " << opened.Error;
  CommandRequest request;
  std::copy(cdb.begin(), cdb.end(), request.Cdb);
  request.Length = length;
  request.Data = data;
  const CommandResult result = transport.Execute(opened.Handle, d, request);
  transport.Close(opened.Handle);
  return result;
}

TEST(WineNt, CdromOnAPlainFolderIsListedButAnswersNoCommand) {
  if (!SystemIsNt()) GTEST_SKIP() << "Wine reports a platform before NT";
  if (GetDriveTypeA("D:\\") != DRIVE_CDROM) GTEST_SKIP() << "D: is no CD-ROM drive here: run wine-setup.sh";

  PassThroughTransport passThrough;
  bool listed = false;
  for (const DriveAddress& address : passThrough.Enumerate()) listed = listed || address.Letter == 'D';
  EXPECT_TRUE(listed);
  std::uint8_t inquiry[128] = {};
  const CommandResult result = SendToD(passThrough, {0x12, 0, 0, 0, sizeof inquiry}, inquiry, sizeof inquiry);
  EXPECT_FALSE(result.Completed);
  EXPECT_EQ(result.OsError, static_cast<std::uint32_t>(ERROR_NOT_SUPPORTED));
  EXPECT_EQ(SenseByte(result, 2), 0);
  EXPECT_FALSE(passThrough.ErrorText(result.OsError).empty());
  // Wine's drive has no volume lock or exclusive access to give: no refusal.
  const DriveAddress d{'D', 0, 0, 0, {}};
  DeviceHandle handle = passThrough.Open(d).Handle;
  EXPECT_FALSE(passThrough.ClaimDrive(handle, d).Refused);
  passThrough.ReleaseDrive(handle, d);
  passThrough.Close(handle);

  // The program: the open succeeds, the INQUIRY fails silently (no open has
  // failed yet, so no SenseCode message), and the drive is not listed.
  FlashProgramRun run;
  EXPECT_TRUE(run.Transport.UsesPassThrough());
  EXPECT_EQ(run.ExitCode, 0);
  ASSERT_EQ(run.Ui.Dialogs.size(), 2u);
  EXPECT_EQ(run.Ui.Dialogs[0].Kind, DialogKind::Warning);
  EXPECT_EQ(run.Ui.Dialogs[1].Kind, DialogKind::Error);
  EXPECT_EQ(run.Ui.Dialogs[1].Text, kNoDriveReport);
  EXPECT_TRUE(run.Ui.Messages.empty());
  EXPECT_TRUE(run.Ui.QuitPosted);
  EXPECT_FALSE(run.Ui.WindowShown);
}

TEST(Wine98Aspi, WinesLayerLoadsButReportsNoAdapters) {
  if (SystemIsNt()) GTEST_SKIP() << "Wine reports the NT platform: run as flashutil_win98_tests.exe";
  if (HMODULE layer = LoadLibraryA("WNASPI32.DLL")) {
    FreeLibrary(layer);
  } else {
    GTEST_SKIP() << "WNASPI32.DLL does not load here";
  }

  class Silent : public MessageSink {
   public:
    void ShowMessage(const std::string&) override {}
    void ShowErrorMessage(const std::string&) override {}
  } sink;
  AspiTransport aspi;
  EXPECT_EQ(aspi.Setup(sink), dsAspiNotReady);  // SS_NO_ADAPTERS in bits 8 to 15
  EXPECT_FALSE(aspi.Loaded());

  // The program probes all 40 addresses, each set-up failing the same way,
  // and ends with the report.
  FlashProgramRun run;
  EXPECT_FALSE(run.Transport.UsesPassThrough());
  EXPECT_EQ(Cddrive::Unit().InitStatus, dsNoDevice);  // reset after the run
  ASSERT_EQ(run.Ui.Dialogs.size(), 2u);
  EXPECT_EQ(run.Ui.Dialogs[1].Kind, DialogKind::Error);
  EXPECT_EQ(run.Ui.Dialogs[1].Text, kNoDriveReport);
  EXPECT_TRUE(run.Ui.Messages.empty());
  EXPECT_TRUE(run.Ui.QuitPosted);
}

TEST(Wine98NoAspi, EveryProbeShowsTheLoadFailure) {
  if (SystemIsNt()) GTEST_SKIP() << "Wine reports the NT platform: run as flashutil_win98_tests.exe";
  if (HMODULE layer = LoadLibraryA("WNASPI32.DLL")) {
    FreeLibrary(layer);
    GTEST_SKIP() << "WNASPI32.DLL loads here: run with WINEDLLOVERRIDES=wnaspi32=d";
  }
  FlashProgramRun run;
  ASSERT_EQ(run.Ui.Dialogs.size(), 42u);  // the warning, 40 probes, the report
  for (std::size_t i = 1; i <= 40; ++i) {
    EXPECT_EQ(run.Ui.Dialogs[i].Kind, DialogKind::Error);
    EXPECT_EQ(run.Ui.Dialogs[i].Text, kLoadFailure);
  }
  EXPECT_EQ(run.Ui.Dialogs[41].Text, kNoDriveReport);
  EXPECT_TRUE(run.Ui.QuitPosted);
}

// WineKernel: run by the kernel stage (scripts/test-kernel) in its emulated
// machine, where D: is the simulated drive that the kernel serves as /dev/srN,
// and the environment names the file the guest compares the drive's flash with
// (FLASHUTIL_KERNEL_IMAGE). Elsewhere they skip, and the Windows test run leaves
// them out.
const char* ImageFile() {
  return std::getenv("FLASHUTIL_KERNEL_IMAGE");
}

TEST(WineKernel, InquiryAndARejectedCommandThroughPassThrough) {
  if (ImageFile() == nullptr) GTEST_SKIP() << "not in the kernel stage's machine";
  PassThroughTransport transport;
  std::uint8_t inquiry[36] = {};
  const CommandResult identified =
      SendToD(transport, {0x12, 0, 0, 0, sizeof inquiry}, inquiry, sizeof inquiry);
  ASSERT_TRUE(identified.Completed) << "error " << identified.OsError;
  EXPECT_EQ(identified.ScsiStatus, 0);
  EXPECT_EQ(inquiry[0] & 0x1F, 5);  // an optical drive
  EXPECT_EQ(std::string(reinterpret_cast<char*>(inquiry) + 8, 28), "QVXR    CRW-5224A       1000");

  // An opcode the drive does not know comes back with its sense data.
  std::uint8_t reply[16] = {};
  const CommandResult rejected =
      SendToD(transport, {0xF7, 0, 0, 0, 0, 0, 0, 0, sizeof reply}, reply, sizeof reply);
  ASSERT_TRUE(rejected.Completed) << "error " << rejected.OsError;
  EXPECT_EQ(rejected.ScsiStatus, 0x02);
  ASSERT_GE(rejected.SenseLength, 14);
  EXPECT_EQ(rejected.Sense[2] & 0x0F, 0x05);
  EXPECT_EQ(rejected.Sense[12], 0x20);
  EXPECT_EQ(rejected.Sense[13], 0x00);
}

TEST(WineKernel, WholeUpdateThroughPassThrough) {
  if (ImageFile() == nullptr) GTEST_SKIP() << "not in the kernel stage's machine";
  const std::vector<std::uint8_t> image = MakeImage(0x20000);
  // The runner prints what the program showed, for a failure's report.
  FlashProgramRun run(*MakeFlasherPackage({}, image), true);
  const RecordingToolkit& ui = run.Ui;

  std::ofstream(ImageFile(), std::ios::binary)
      .write(reinterpret_cast<const char*>(image.data()), static_cast<std::streamsize>(image.size()));
  EXPECT_EQ(ui.GroupCaption(), "Flash Completed.");
  ASSERT_FALSE(ui.ComboLines.empty());
  // The refreshed line shows the revision the new flash carries.
  EXPECT_NE(ui.ComboLines[0].find("QVXR    CRW-5224A       2000"), std::string::npos) << ui.ComboLines[0];
}

}  // namespace
