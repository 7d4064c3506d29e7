// End to end: the built simulated-drive program is the template. A flash program
// stamped from the sample model list and firmware differs from it only in the
// package, and updates a simulated drive: through the window over the stamped
// package, and as a program file of its own run on its terminal face.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <initializer_list>

#include "common/Text.h"
#include "platform/sim/SimulatedDrives.h"
#include "tests/BuilderSupport.h"
#include "tests/ProgramEnvironment.h"
#include "tests/UpdateRig.h"

namespace {

namespace fs = std::filesystem;

const std::string kSamples = std::string(FLASHUTIL_SOURCE_DIR) + "/samples";
const std::string kFirmware = kSamples + "/firmware/1A2B.BIN";

std::string SampleModelList() {
  const Bytes bytes = ReadFile(kSamples + "/models.ini");
  return std::string(bytes.begin(), bytes.end());
}

// The template with its sample model list and firmware in a scratch directory.
struct SampleTemplate : BuilderFixture {
  SampleTemplate() : BuilderFixture(SampleModelList(), "flashutil-sim") {
    fs::copy_file(FLASHUTIL_SIM_PROGRAM, Ui.ProgramPath);
    fs::copy_file(kFirmware, Dir / "1A2B.BIN");
  }
};

std::string Log(const ScratchDir& dir) {
  const Bytes log = ReadFile(dir / "run.log");
  return std::string(log.begin(), log.end());
}

// Runs a program of the scratch directory on its terminal face with the answers
// piped in; its exit code.
int RunHeadless(const ScratchDir& dir, const std::string& program, const std::string& answers,
                std::initializer_list<std::string> environment = {}) {
  const std::string command = "cd '" + dir.Path().string() + "' && printf '" + answers + "' | " +
                              ProgramEnvironmentCommand(environment) + "./" + program + " >>run.log 2>&1";
  const int status = std::system(command.c_str());
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(BuilderEndToEnd, StampedPackageOfTheBuiltTemplateUpdatesASimulatedDrive) {
  SampleTemplate f;
  f.Start();
  ASSERT_EQ(f.Ui.ComboLines, std::vector<std::string>{"1000-1FFF QVXR    CRW-5224A"});
  f.Ui.UserClicksFile("1A2B.BIN");
  f.Ui.UserPressesButton();
  ASSERT_EQ(f.Ui.Group, "Build 1A2B.EXE complete!") << ::testing::PrintToString(f.Ui.Messages);

  const Bytes original = ReadFile(f.Ui.ProgramPath), stamped = ReadFile(f.Dir / "1A2B.EXE");
  const Bytes firmware = ReadFile(kFirmware), keyword = KeywordBytes();
  ASSERT_EQ(stamped.size(), original.size());
  const auto found = std::search(original.begin(), original.end(), keyword.begin(), keyword.end());
  ASSERT_NE(found, original.end());
  const auto at = static_cast<std::size_t>(found - original.begin());
  const std::size_t changeable = at + offsetof(FlashPackage, ModelName),
                    changeableEnd = at + offsetof(FlashPackage, ImageArea) + firmware.size();
  std::size_t strayChanges = 0;
  for (std::size_t i = 0; i < stamped.size(); ++i) {
    strayChanges += stamped[i] != original[i] && (i < changeable || i >= changeableEnd);
  }
  EXPECT_EQ(strayChanges, 0u);

  auto package = std::make_unique<FlashPackage>();
  std::memcpy(package.get(), stamped.data() + at, sizeof(FlashPackage));
  EXPECT_EQ(FieldText(package->ModelName, kTextFieldSize), "CRW-5224A");
  EXPECT_EQ(FieldText(package->InquiryId, kTextFieldSize), "QVXR    CRW-5224A       ");
  EXPECT_EQ(FieldText(package->FirmwareRange, kTextFieldSize), "1000-1FFF");
  EXPECT_EQ(std::string(package->FirmwareName, 5), "1A2B.");
  EXPECT_EQ(PackageImageSize(*package), firmware.size());

  UpdateRig rig(std::move(package));
  ASSERT_EQ(rig.Ui().ComboLines.size(), 1u);  // the sample's drive is offered
  rig.PressFlash();
  EXPECT_EQ(rig.Ui().Group, "Flash Completed.");
  EXPECT_TRUE(std::equal(firmware.begin(), firmware.end(), rig.Drive->Flash().begin()));
  EXPECT_EQ(rig.Drive->Config().Revision, "1A2B");
}

TEST(BuilderEndToEnd, ProgramFilesStampAndUpdateOnTheTerminalFace) {
  SampleTemplate f;
  f.Start();  // the window's own stamping, to compare with the program's
  f.Ui.UserClicksFile("1A2B.BIN");
  ASSERT_TRUE(f.Form.NewBuildFlashProgram());
  fs::rename(f.Dir / "1A2B.EXE", f.Dir / "window.EXE");

  // The template: choose the file, build, quit.
  ASSERT_EQ(RunHeadless(f.Dir, "flashutil-sim", "1\\nb\\nq\\n"), 0);
  ASSERT_TRUE(fs::exists(f.Dir / "1A2B.EXE")) << Log(f.Dir);
  EXPECT_TRUE(ReadFile(f.Dir / "1A2B.EXE") == ReadFile(f.Dir / "window.EXE"));
  EXPECT_NE(fs::status(f.Dir / "1A2B.EXE").permissions() & fs::perms::owner_exec, fs::perms::none);

  // What the program files carry, as --info tells it: the digest is the firmware file's.
  ASSERT_EQ(RunHeadless(f.Dir, "flashutil-sim --info", ""), 0);
  ASSERT_EQ(RunHeadless(f.Dir, "1A2B.EXE --info", ""), 0);
  std::string digest(64, '\0');
  FILE* sum = popen(("sha256sum '" + kFirmware + "'").c_str(), "r");
  ASSERT_NE(sum, nullptr);
  ASSERT_EQ(std::fread(digest.data(), 1, digest.size(), sum), digest.size());
  pclose(sum);
  const std::string info = Log(f.Dir);
  EXPECT_NE(info.find("Kind: template"), std::string::npos) << info;
  EXPECT_NE(info.find("Kind: flash program\nModel: \"CRW-5224A\"\n"), std::string::npos) << info;
  EXPECT_NE(info.find("Image size: " + std::to_string(ReadFile(kFirmware).size()) +
                      " bytes\nImage SHA-256: " + digest + "\n"),
            std::string::npos)
      << info;

  // The flash program where a display is named but Qt cannot load (the loader
  // finds broken Qt libraries first): it says so once and runs on the terminal
  // face: continue, FLASH, update, quit.
  const fs::path noQt = f.Dir.Path() / "noqt";
  fs::create_directory(noQt);
  for (const char* library : {"libQt6Core.so.6", "libQt6Gui.so.6", "libQt6Widgets.so.6"}) {
    std::ofstream(noQt / library);  // empty: "file too short"
  }
  ASSERT_EQ(RunHeadless(f.Dir, "1A2B.EXE", "y\\nf\\ny\\nq\\n",
                        {"DISPLAY=:987", "LD_LIBRARY_PATH=" + noQt.string()}),
            0)
      << Log(f.Dir);
  const std::string log = Log(f.Dir);
  const std::string note = "The window needs Qt 6 Widgets, which cannot be loaded here (";
  EXPECT_NE(log.find(note + noQt.string()), std::string::npos) << log;
  EXPECT_EQ(log.find(note), log.rfind(note)) << "only where a display was named: " << log;
  EXPECT_NE(log.find("Status: Flash Completed."), std::string::npos) << log;

  // The drive remembers its flash in the working directory.
  const fs::path previous = fs::current_path();
  fs::current_path(f.Dir.Path());
  std::string error;
  auto drives = MakeProgramSimulatedDrives(
      f.Dir / "1A2B.EXE", [] { return MakeIniReader(); }, error);
  fs::current_path(previous);
  ASSERT_NE(drives, nullptr) << error;
  const Bytes firmware = ReadFile(kFirmware);
  EXPECT_TRUE(std::equal(firmware.begin(), firmware.end(), drives->Drive(0).Flash().begin())) << Log(f.Dir);
  EXPECT_EQ(drives->Drive(0).Config().Revision, "1A2B");
}

}  // namespace
