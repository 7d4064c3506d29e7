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
#include <gtest/gtest.h>

#include <iostream>

#include "app/FlashForm.h"
#include "device/Cddrive.h"
#include "platform/windows/WindowsTransport.h"
#include "tests/ResultContract.h"
#include "tests/Support.h"

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

// Runs a flash program for the default package on the real Windows transport,
// answering Yes to the warning, and prints every dialog it shows.
struct FlashProgramRun {
  RecordingToolkit Ui;
  WindowsTransport Transport;
  int ExitCode = -1;

  FlashProgramRun() {
    Cddrive::ResetUnit();
    Cddrive::InstallTransport(&Transport);
    Ui.Answers = {DialogResult::Yes};
    auto package = MakeFlasherPackage();
    ExitCode = RunApplication(Ui, *package, {});
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

TEST(WineNt, CdromOnAPlainFolderIsListedButAnswersNoCommand) {
  if (!SystemIsNt()) GTEST_SKIP() << "Wine reports a platform before NT";
  if (GetDriveTypeA("D:\\") != DRIVE_CDROM) GTEST_SKIP() << "D: is no CD-ROM drive here: run wine-setup.sh";

  PassThroughTransport passThrough;
  bool listed = false;
  for (const DriveAddress& address : passThrough.Enumerate()) listed = listed || address.Letter == 'D';
  EXPECT_TRUE(listed);
  const OpenResult opened = passThrough.Open({'D', 0, 0, 0, {}});
  ASSERT_NE(opened.Handle, kNoDevice) << "error " << opened.Error;
  std::uint8_t inquiry[128] = {};
  CommandRequest request;
  request.Cdb[0] = 0x12;
  request.Cdb[4] = 0x80;
  request.Length = sizeof inquiry;
  request.Data = inquiry;
  const CommandResult result = passThrough.Execute(opened.Handle, {'D', 0, 0, 0, {}}, request);
  passThrough.Close(opened.Handle);
  EXPECT_FALSE(result.Completed);
  EXPECT_EQ(result.OsError, static_cast<std::uint32_t>(ERROR_NOT_SUPPORTED));
  EXPECT_EQ(SenseByte(result, 2), 0);
  EXPECT_FALSE(passThrough.ErrorText(result.OsError).empty());

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

}  // namespace
