// The whole program through the terminal face with scripted input: a template
// builds a flash program, a flash program updates a simulated drive, and input
// that ends at any prompt answers No and leaves drives and files untouched.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <tuple>

#include "platform/linux/Platform.h"
#include "platform/sim/SimulatedDrive.h"
#include "tests/Support.h"
#include "toolkit/terminal/TerminalToolkit.h"

namespace {

namespace fs = std::filesystem;

constexpr std::uint8_t kInquiry = 0x12;

// A working directory of the test's own; the file list moves the process into it.
struct TempDir {
  fs::path Before = fs::current_path();
  fs::path Path;
  TempDir() {
    Path = fs::temp_directory_path() / ("terminal-" + std::to_string(getpid()) + "-" +
                                        ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(Path);
    fs::create_directories(Path);
  }
  ~TempDir() {
    fs::current_path(Before);
    fs::remove_all(Path);
  }
  void Write(const std::string& name, const std::string& bytes) const {
    std::ofstream(Path / name, std::ios::binary) << bytes;
  }
  std::string Read(const std::string& name) const {
    std::ifstream file(Path / name, std::ios::binary);
    return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
  }
};

// One run of the program through the terminal face; the drives it finds are the
// simulated ones, the answers those of the script.
struct TerminalRun {
  std::istringstream In;
  std::ostringstream Out;
  TerminalToolkit Ui;
  int ExitCode = -1;

  TerminalRun(const std::string& input, const FlashPackage& package,
              const std::string& program = "/opt/flash/FLASH")
      : In(input), Ui(In, Out, false, program, "FLASH") {
    ExitCode = RunApplication(Ui, package, [] { return MakeIniReader(); });
  }
  std::string Text() const { return Out.str(); }
};

// Simulated drives installed for the length of a test.
struct Drives {
  SimulatedTransport Transport;
  explicit Drives(int count = 1) {
    for (int i = 0; i < count; ++i) {
      SimDriveConfig config;
      config.Name = "sim" + std::to_string(i);
      config.Letter = static_cast<char>('D' + i);
      config.Target = static_cast<std::uint8_t>(i);
      Transport.Add(config);
    }
    Cddrive::ResetUnit();
    Cddrive::InstallTransport(&Transport);
  }
  ~Drives() {
    Cddrive::InstallTransport(nullptr);
    Cddrive::ResetUnit();
  }
  // Nothing but identification reached the drive.
  bool OnlyIdentified(std::size_t index) {
    for (const auto& command : Transport.Drive(index).Log()) {
      if (command.Cdb[0] != kInquiry) return false;
    }
    return true;
  }
};

// An image the simulated drive takes for revision 2000, three chunks long.
std::vector<std::uint8_t> NewImage() {
  std::vector<std::uint8_t> image(40000);
  for (std::size_t i = 0; i < image.size(); ++i) image[i] = static_cast<std::uint8_t>(i * 7 + 1);
  const std::string tag = "SIMREV=2000";
  std::copy(tag.begin(), tag.end(), image.begin() + 100);
  return image;
}

TEST(TerminalFlasher, UpdatesTheChosenDriveToFlashCompleted) {
  for (int chosen : {0, 1}) {
    SCOPED_TRACE(chosen);
    Drives drives(2);
    auto package = MakeFlasherPackage({}, NewImage());
    // Line 2 is chosen by the user, which runs the change handler; line 1 is the window's own choice.
    TerminalRun run(chosen == 0 ? "y\nf\ny\nq\n" : "y\n2\nf\ny\nq\n", *package);
    const std::string out = run.Text();
    EXPECT_EQ(run.ExitCode, 0);
    EXPECT_NE(out.find("--- Warning ---\n\nWARNING:\n\nThis flash utility only supports QVXR CRW-5224A drive "
                       "with firmware:1000-1FFF"),
              std::string::npos)
        << out;
    EXPECT_NE(out.find("[QVXR Flash Utility V1.050 CRW-5224A]\n"), std::string::npos);
    EXPECT_NE(out.find("Select the QVXR drive you want to update:\n"), std::string::npos);
    EXPECT_NE(out.find("Commands: 1-2 choose a drive, f FLASH, q quit\n"), std::string::npos);
    EXPECT_NE(out.find("--- Confirm ---\n\nUpdate Firmware 1000 to 2000 ?\n"), std::string::npos);
    EXPECT_NE(out.find("Status: Flash Completed.\n"), std::string::npos) << out;

    SimulatedDrive& flashed = drives.Transport.Drive(static_cast<std::size_t>(chosen));
    EXPECT_EQ(flashed.Commits(), 1);
    EXPECT_EQ(flashed.Config().Revision, "2000");
    const std::vector<std::uint8_t> image = NewImage();
    EXPECT_TRUE(std::equal(image.begin(), image.end(), flashed.Flash().begin()));
    EXPECT_TRUE(drives.OnlyIdentified(static_cast<std::size_t>(1 - chosen)));
    // The refreshed line shows the new revision, chosen, in the window shown after the update.
    const std::string line = run.Ui.ComboLine(chosen);
    EXPECT_EQ(line.substr(line.size() - 4), "2000");
    EXPECT_NE(out.rfind("  * " + std::to_string(chosen + 1) + ") " + line + "\n"), std::string::npos) << out;
  }
}

// A drive's reply and the package's texts are shown, never obeyed; the drive is
// still offered, as its raw reply matches the raw record.
TEST(TerminalFlasher, ControlBytesOfADriveAndThePackageAreShownEscaped) {
  Drives drives(1);
  SimDriveConfig& drive = drives.Transport.Drive(0).Config();
  drive.Vendor = "\x1B[2J";
  drive.Product = "\x1B]0;owned\x07";
  PackageFields fields;
  fields.Inquiry = "\x1B[2J    \x1B]0;owned\x07";
  fields.Vendor = "\x1B]2;X\x07";
  auto package = MakeFlasherPackage(fields, NewImage());
  TerminalRun run("y\nq\n", *package);
  const std::string out = run.Text();
  EXPECT_EQ(out.find('\x1B'), std::string::npos) << out;
  EXPECT_EQ(out.find('\x07'), std::string::npos) << out;
  EXPECT_NE(out.find("only supports \\x1B]2;X\\x07 CRW-5224A drive"), std::string::npos) << out;
  EXPECT_NE(out.find("  * 1) 0-0-0 D: \\x1B[2J    \\x1B]0;owned\\x07      1000\n"), std::string::npos) << out;
  EXPECT_EQ(run.Ui.ComboLine(0), "0-0-0 D: \x1B[2J    \x1B]0;owned\x07      1000");
}

struct EndCase {
  const char* input;
  const char* lastPrompt;
};

TEST(TerminalFlasher, EndOfInputAtEveryPromptIsNoAndSendsNothing) {
  const EndCase cases[] = {
      {"", "Answer yes or no [y/n]: "},                // the warning
      {"y\n", "> "},                                   // the window
      {"y\n2\n", "> "},                                // after choosing a drive
      {"y\nf\n", "Answer yes or no [y/n]: "},          // the confirmation
      {"y\nf\nperhaps\n", "Answer yes or no [y/n]: "}  // asked again
  };
  for (const EndCase& c : cases) {
    SCOPED_TRACE(c.input);
    Drives drives(2);
    auto package = MakeFlasherPackage({}, NewImage());
    TerminalRun run(c.input, *package);
    const std::string out = run.Text();
    EXPECT_EQ(run.ExitCode, 0);
    EXPECT_TRUE(run.Ui.InputEnded());
    EXPECT_EQ(out.substr(out.size() - std::string(c.lastPrompt).size() - 15),
              std::string(c.lastPrompt) + "(end of input)\n");
    for (std::size_t i = 0; i < 2; ++i) EXPECT_TRUE(drives.OnlyIdentified(i));
    EXPECT_EQ(drives.Transport.Opens() == 0, std::string(c.input).empty());  // No at the warning: no drive
  }
}

TEST(TerminalFlasher, NoDriveToOfferEndsWithTheErrorReport) {
  Drives drives(0);
  auto package = MakeFlasherPackage();
  TerminalRun run("y\n", *package);
  EXPECT_NE(run.Text().find("--- Error ---\n\nERROR:\n\nCan't found CRW-5224A firmware :"),
            std::string::npos);
  EXPECT_NE(run.Text().find("\nCan't find ATAPI Drive !\n"), std::string::npos);
  EXPECT_EQ(run.Text().find("> "), std::string::npos);  // the window never asks for a command
}

// A template program file: some code, the template's package, more code.
std::string TemplateFile() {
  auto package = MakeTemplatePackage();
  return std::string(3000, 'x') +
         std::string(reinterpret_cast<const char*>(package.get()), sizeof(FlashPackage)) +
         std::string(2000, 'y');
}

const char kModelList[] =
    "[MODEL00]\nModel=CRW-5224A\nInquiry=QVXR    CRW-5224A\nFW-Range=1000-1FFF\nBINMask=*.BIN\n"
    "Vendor=Qvxr\nNote=\n"
    "[MODEL01]\nModel=DVD-16\nInquiry=QVXR    DVD-ROM 16X\nFW-Range=0100-0199\nBINMask=*.HEX\n"
    "Vendor=Qvxr\nNote=FLASH-ALL\n";

struct BuilderDir : TempDir {
  BuilderDir() {
    Write("FLASH", TemplateFile());
    Write("FLASH.INI", kModelList);
    Write("2000.BIN", "first image");
    Write("2100.BIN", "second image");
    Write("0150.HEX", "dvd image");
    fs::current_path(Path);
  }
  std::string Program() const { return (Path / "FLASH").string(); }
};

TEST(TerminalBuilder, ModelFileAndBuildStampAFlashProgram) {
  BuilderDir dir;
  auto package = MakeTemplatePackage();
  TerminalRun run("b\nm2\n2\n0\nm9\nzz\n1\nb\nm1\n2\nb\nq\n", *package, dir.Program());
  const std::string out = run.Text();
  EXPECT_EQ(run.ExitCode, 0);
  EXPECT_NE(
      out.find("Select Model: \n  * m1) 1000-1FFF QVXR    CRW-5224A\n    m2) 0100-0199 QVXR    DVD-ROM 16X\n"
               "Files matching *.BIN:\n    1) 2000.BIN\n    2) 2100.BIN\n"
               "Commands: m1-m2 choose a model, 1-2 choose a file, b Build (disabled), q quit\n"),
      std::string::npos)
      << out;
  EXPECT_NE(out.find("Build is disabled: choose a file first.\n"), std::string::npos);
  EXPECT_NE(out.find("[ Flash Utility V1.050 0100-0199 [Buiding]]\n"), std::string::npos);
  EXPECT_NE(out.find("There is no file 2 in the list.\n"), std::string::npos);  // *.HEX: one file
  EXPECT_NE(out.find("There is no file 0 in the list.\n"), std::string::npos);
  EXPECT_NE(out.find("There is no line 9 in the list.\n"), std::string::npos);
  EXPECT_NE(
      out.find(
          "Unknown command \"zz\".\nCommands: m1-m2 choose a model, 1 choose a file, b Build (disabled)"),
      std::string::npos);
  EXPECT_NE(out.find("Status: Build 0150.EXE complete!\n"), std::string::npos) << out;
  EXPECT_NE(out.find("Status: Build 2100.EXE complete!\n"), std::string::npos) << out;

  const std::string program = TemplateFile();
  for (auto [name, model, image] :
       {std::tuple{"0150.EXE", "DVD-16", "dvd image"}, std::tuple{"2100.EXE", "CRW-5224A", "second image"}}) {
    SCOPED_TRACE(name);
    const std::string built = dir.Read(name);
    ASSERT_EQ(built.size(), program.size());
    const std::size_t record = 3000 + kKeywordSize;
    EXPECT_EQ(built.substr(record, std::string(model).size() + 1), std::string(model) + '\0');
    EXPECT_EQ(built.substr(3000 + offsetof(FlashPackage, ImageArea), std::string(image).size()), image);
    EXPECT_EQ(built.substr(0, record), program.substr(0, record));
    EXPECT_TRUE(fs::status(dir.Path / name).permissions() == fs::status(dir.Path / "FLASH").permissions());
  }
}

TEST(TerminalBuilder, ControlBytesInFileNamesAndModelValuesAreShownEscaped) {
  BuilderDir dir;
  dir.Write("FLASH.INI",
            "[MODEL00]\nModel=M\nInquiry=QVXR\x1B[5m\nFW-Range=1000\x9B"
            "2J\nBINMask=*.BIN\nVendor=V\nNote=\n");
  dir.Write("ab\x1B[2J.BIN", "image");
  auto package = MakeTemplatePackage();
  TerminalRun run("3\nb\nq\n", *package, dir.Program());
  const std::string out = run.Text();
  EXPECT_EQ(out.find('\x1B'), std::string::npos) << out;
  EXPECT_EQ(out.find('\x9B'), std::string::npos) << out;
  EXPECT_NE(out.find("  * m1) 1000\\x9B2J QVXR\\x1B[5m\n"), std::string::npos) << out;
  EXPECT_NE(out.find("  * 3) ab\\x1B[2J.BIN\n"), std::string::npos) << out;
  EXPECT_NE(out.find("Status: Build ab\\x1B[.EXE complete!\n"), std::string::npos) << out;
  EXPECT_TRUE(fs::exists(dir.Path / "ab\x1B[.EXE"));
}

TEST(TerminalBuilder, EndOfInputAtEveryPromptBuildsNothing) {
  for (const char* input : {"", "m2\n", "m2\n1\n", "1\n"}) {
    SCOPED_TRACE(input);
    BuilderDir dir;
    auto package = MakeTemplatePackage();
    TerminalRun run(input, *package, dir.Program());
    EXPECT_TRUE(run.Ui.InputEnded());
    EXPECT_EQ(run.Text().substr(run.Text().size() - 17), "> (end of input)\n");
    for (const auto& entry : fs::directory_iterator(dir.Path)) {
      EXPECT_NE(entry.path().extension(), ".EXE") << entry.path();
    }
  }
}

TEST(TerminalBuilder, MissingModelListIsShownAndEndsTheProgram) {
  BuilderDir dir;
  fs::remove(dir.Path / "FLASH.INI");
  auto package = MakeTemplatePackage();
  TerminalRun run("\n", *package, dir.Program());
  EXPECT_NE(run.Text().find("--- Windows Flash utility ---\nCan't load " + (dir.Path / "FLASH.INI").string() +
                            "\nPress Enter for OK: \n"),
            std::string::npos)
      << run.Text();
  EXPECT_FALSE(run.Ui.InputEnded());  // the quit request ended it, not the input
}

}  // namespace
