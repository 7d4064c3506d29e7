// The command line through RunProgram, on simulated drives and the recording
// toolkit: each option's output and exit status, the drive list by INQUIRY only,
// the session log, and the SHA-256 that --info shows.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <regex>
#include <sstream>

#include "app/CommandLine.h"
#include "common/Sha256.h"
#include "common/Text.h"
#include "platform/sim/SimulatedDrive.h"
#include "tests/Support.h"
#if !defined(_WIN32)
#include <sys/stat.h>

#include "platform/linux/Platform.h"
#endif

namespace {

TEST(Sha256, StandardVectors) {
  struct Case {
    std::string message;
    const char* digest;
  };
  const Case cases[] = {
      {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
      {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
      {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",  // 56 bytes: the length needs a block
       "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
      {"abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmnoijklmnopjklmnopqklmnopqrlmnopqrsmnopq"
       "rst"
       "nopqrstu",
       "cf5b16a778af8380036ce59e7b0492370b249b11e8f07a51afac45037afee9d1"},
      {std::string(1000000, 'a'), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.message.substr(0, 20));
    EXPECT_EQ(Sha256Hex(reinterpret_cast<const std::uint8_t*>(c.message.data()), c.message.size()), c.digest);
  }
}

// A text from outside as a JSON string: the controls JSON forbids raw and the C1
// controls escaped, valid UTF-8 kept, and every other byte its Latin-1 character,
// so the document stays valid UTF-8 whatever a drive answers.
TEST(JsonText, TextsFromOutsideStayValidJson) {
  const std::pair<std::string, const char*> cases[] = {
      {"CRW-5224A", "\"CRW-5224A\""},
      {"a\"b\\c/", "\"a\\\"b\\\\c/\""},
      {std::string("\0\x1B[2J\n\x7F", 7), "\"\\u0000\\u001B[2J\\u000A\\u007F\""},
      {"\xC2\x85 \xC2\xA0 \xE2\x82\xAC",
       "\"\\u0085 \xC2\xA0 \xE2\x82\xAC\""},          // NEL escaped; NBSP, euro kept
      {"\x9B\xFF\xC3", "\"\\u009B\\u00FF\\u00C3\""},  // no UTF-8 character
      {"\xED\xA0\x80", "\"\\u00ED\\u00A0\\u0080\""},  // a surrogate is no character
  };
  for (const auto& [text, json] : cases) EXPECT_EQ(JsonText(text), json) << EscapedText(text);
}

// A program on two simulated drives, the first eligible for the default flasher
// package, with the recording toolkit as its window.
struct ProgramRig {
  std::shared_ptr<SimulatedTransport> Sim = std::make_shared<SimulatedTransport>();
  std::unique_ptr<FlashPackage> Package;
  RecordingToolkit Ui;
  std::ostringstream Out, Err;
  bool FaceRan = false;
  bool TerminalAsked = false;
  std::string ProgramFile = "/opt/flash/FLASH.EXE", ProgramName = "FLASH.EXE", LogLineEnd = "\n";
  PowerReading Power;  // what the system says of the machine's power

  explicit ProgramRig(std::unique_ptr<FlashPackage> package = MakeFlasherPackage())
      : Package(std::move(package)) {
    Cddrive::ResetUnit();
    SimDriveConfig writer, reader;
    writer.Name = "writer";
    reader.Name = "reader";
    reader.Letter = 'E';
    reader.Product = "DVD-ROM 16X";
    reader.Revision = "0103";
    Sim->Add(writer);
    Sim->Add(reader);
  }
  ~ProgramRig() { Cddrive::ResetUnit(); }

  int Run(const std::vector<std::string>& arguments, bool terminalFace = true) {
    ProgramPlatform platform;
    platform.Package = Package.get();
    platform.ProgramFile = ProgramFile;
    platform.ProgramFileProblem = "/proc/self/exe cannot be read, and flash is not on PATH";
    platform.ProgramName = ProgramName;
    platform.LogLineEnd = LogLineEnd;
    platform.TerminalFace = terminalFace;
    platform.MakeTransport = [this] { return Sim; };
    struct Reading : SystemGuard {
      explicit Reading(PowerReading power) : Power(power) {}
      PowerReading ReadPower() override { return Power; }
      void HoldOff() override {}
      void Release() override {}
      PowerReading Power;
    };
    platform.MakeSystemGuard = [this] { return std::make_unique<Reading>(Power); };
    platform.RunFace = [this](bool terminal, const std::function<int(Toolkit&)>& run) {
      FaceRan = true;
      TerminalAsked = terminal;
      return run(Ui);
    };
    return RunProgram(arguments, platform, Out, Err);
  }
};

const char kUsage[] = "Usage: FLASH.EXE [--terminal] [--log FILE]\n";

std::string TempName(const char* name) {
  return (std::filesystem::temp_directory_path() /
          (name + std::to_string(::testing::UnitTest::GetInstance()->random_seed())))
      .string();
}

#if !defined(_WIN32)
// A --json output as Python's json module reads it, which refuses what strict
// JSON refuses (a raw control character, bytes that are not UTF-8, a second
// document): the exit status it holds, -1 when it is refused.
int JsonExitStatus(const std::string& document) {
  const std::string file = TempName("flashutil-json-");
  std::ofstream(file, std::ios::binary) << document;
  const std::string command =
      "python3 -c 'import json,sys; d=json.loads(open(sys.argv[1],encoding=\"utf-8\").read(), "
      "parse_constant=lambda c: sys.exit(3)); print(d[\"exit_status\"] if d[\"schema\"] == 1 else -1)' " +
      file + " 2>/dev/null";
  FILE* python = popen(command.c_str(), "r");
  char read[16] = {};
  const bool got = python != nullptr && std::fgets(read, sizeof read, python) != nullptr;
  const int status = python != nullptr ? pclose(python) : -1;
  std::filesystem::remove(file);
  return got && status == 0 ? std::atoi(read) : -1;
}
#endif

TEST(CommandLine, EachOptionsOutputAndExitStatus) {
#if !defined(_WIN32)
  const std::string fifo = TempName("flashutil-fifo-");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
#endif
  using Setup = std::function<void(ProgramRig&)>;
  const Setup twoAdmitted = [](ProgramRig& rig) {
    rig.Sim->Drive(1).Config().Product = "CRW-5224A";
    rig.Sim->Drive(1).Config().Revision = "1000";
  };
  const Setup flatBattery = [](ProgramRig& rig) { rig.Power = {PowerReading::Supply::Battery, 10}; };
  const Setup current = [](ProgramRig& rig) {  // the drive has the image's revision, within the range
    PutText(rig.Package->FirmwareRange, kTextFieldSize, "1000-2FFF");
    rig.Sim->Drive(0).Config().Revision = "2000";
  };
  struct Case {
    std::vector<std::string> arguments;
    bool terminalFace;
    int status;
    const char* out;  // what the output holds
    std::string err;  // what the error stream holds
    // What the drives received: "" nothing, "inquiry" INQUIRY alone, "update" an
    // update without its commit, "commit N" an update of drive N to its commit.
    const char* sent = "";
    Setup setup = nullptr;
    bool templatePackage = false;
  };
  const std::string dryRun =
      "Drive: 0-0-0 D: QVXR    CRW-5224A       1000\nRevision: 1000 on the drive, 2000 in this program\n"
      "Image SHA-256: 9f64a747e1b97f131fabb6b447296c9b6f0201e79fb3c5356e6c77e89b6a806a\n"
      "Dry run: the drive would be updated; only INQUIRY was sent. --yes updates it.\n";
  std::vector<Case> cases = {
      {{"--help"}, true, 0, kUsage, ""},
      {{"--bogus", "-h"}, true, 0, kUsage, ""},  // help wins over a bad option
      {{"--version"}, true, 0, "Flash Utility 1.050\n", ""},
      {{"--bogus"}, true, 2, "", "FLASH.EXE: unknown option '--bogus'\nUsage: FLASH.EXE"},
      {{"extra"}, true, 2, "", "FLASH.EXE: unexpected argument 'extra'\nUsage"},
      {{"--log"}, true, 2, "", "FLASH.EXE: --log needs a file name\n"},
      {{"--info", "--list"}, true, 2, "", "FLASH.EXE: --info and --list cannot be combined\n"},
      {{"--terminal"}, false, 2, "", "FLASH.EXE: --terminal: this program has no terminal face"},
      {{"--log", "/nonexistent/dir/x.log"},
       true,
       4,
       "",
       "FLASH.EXE: cannot open the log file /nonexistent/dir/x.log: No such file or directory\n"},
      // The update without questions.
      {{"--update"},
       true,
       2,
       "",
       "FLASH.EXE: --update: this program is a template: it builds flash programs "
       "and updates no drive\nUsage",
       "",
       nullptr,
       true},
      {{"--yes"}, true, 2, "", "FLASH.EXE: --yes goes with --update\n"},
      {{"--drive", "D", "--list"}, true, 2, "", "FLASH.EXE: --drive goes with --update\n"},
      {{"--json"}, true, 2, "", "FLASH.EXE: --json goes with --list, --info or --update\n"},
      {{"--update", "--terminal"}, true, 2, "", "FLASH.EXE: --update and --terminal cannot be combined\n"},
      {{"--update", "--drive"}, true, 2, "", "FLASH.EXE: --drive needs a drive\n"},
      {{"--update"}, true, 0, dryRun.c_str(), "", "inquiry"},
      {{"--update", "--yes", "--drive", "d:"},
       true,
       0,
       "Updated: the drive reports revision",
       "WARNING:\n",
       "commit 0"},
      {{"--update", "--yes"},
       true,
       4,
       "Refused: more than one drive qualifies; choose one with --drive\n",
       "* 0-0-0 D: QVXR    CRW-5224A       1000\n* 0-0-0 E:",
       "inquiry",
       twoAdmitted},
      {{"--update", "--yes", "--drive", "* 0-0-0 E: QVXR    CRW-5224A       1000"},
       true,
       0,
       "Updated:",
       "",
       "commit 1",
       twoAdmitted},
      {{"--update", "--yes", "--drive", "0-0-0"},
       true,
       4,
       "Refused: more than one drive is 0-0-0\n",
       "",
       "inquiry"},
      {{"--update", "--drive", "Z:"}, true, 4, "Refused: no drive is Z:\n", "  0-0-0 E:", "inquiry"},
      {{"--update", "--drive", "E"},
       true,
       4,
       "Refused: this flash program does not update the drive 0-0-0 E: QVXR    DVD-ROM 16X     0103\n",
       "",
       "inquiry"},
      {{"--update", "--yes"},
       true,
       3,
       "Already current: the drive is left alone; only INQUIRY was sent.",
       "",
       "inquiry",
       current},
      {{"--update"}, true, 3, "Already current:", "", "inquiry", current},
      {{"--update", "--yes", "--force"}, true, 0, "Updated:", "", "commit 0", current},
      {{"--update", "--yes"},
       true,
       4,
       "Refused: ERROR: The computer is running on its battery, which is at 10 %.",
       "",
       "inquiry",
       flatBattery},
      {{"--update"},
       true,
       4,
       "Refused: ERROR: The computer is running on its battery",
       "",
       "inquiry",
       flatBattery},
      {{"--update"},
       true,
       4,
       "Refused: the firmware image in this flash program is damaged (size 0 bytes, limit 524288)\n",
       "",
       "inquiry",
       [](ProgramRig& rig) { SetPackageImageSize(*rig.Package, 0); }},
      {{"--update", "--yes"},
       true,
       4,
       "Refused: ERROR: Drive writer is in use by another program",
       "",
       "inquiry",
       [](ProgramRig& rig) { rig.Sim->Drive(0).Config().Held = true; }},
      {{"--update", "--yes", "--json"},
       true,
       1,
       "\"outcome\":\"failed\",\"reason\":\"Write Buffer> 04 44 00. 02, 0000\","
       "\"step\":\"Write BIN to drive's DRAM\"",
       "WARNING:",
       "update",
       [](ProgramRig& rig) {
         rig.Sim->Drive(0).Config().Faults.push_back({SimFault::Kind::CheckCondition, 0x3B});
       }},
      {{"--update", "--yes", "--json"}, true, 0, "\"outcome\":\"updated\"", "", "commit 0"},
      {{"--update", "--json"},
       true,
       4,
       "\"outcome\":\"refused\"",
       "",
       "",
       [](ProgramRig& rig) { rig.Sim = std::make_shared<SimulatedTransport>(); }},
      // JSON carries what a drive or the package says, never raw.
      {{"--list", "--json"},
       true,
       0,
       "\"product\":\"DVD\\u001B[2J\\u009B\\\"\\\\\"",
       "",
       "inquiry",
       [](ProgramRig& rig) { rig.Sim->Drive(1).Config().Product = "DVD\x1B[2J\x9B\"\\"; }},
      {{"--info", "--json"}, true, 0, "\"template\":false,\"model\":\"CRW-5224A\"", ""},
      {{"--info", "--json"}, true, 0, "\"kind\":\"info\",", "", "", nullptr, true},
  };
#if !defined(_WIN32)
  // clang-format off
  cases.insert(cases.end(), {
      {{"--log", "/"}, true, 4, "", "FLASH.EXE: cannot open the log file /: Is a directory\n"},
      {{"--log", fifo}, true, 4, "", "FLASH.EXE: cannot open the log file " + fifo + ": a named pipe that no program reads\n"},
      {{"--log", "/dev/full", "--info"}, true, 1, "Program: /opt/flash/FLASH.EXE\nKind: flash program\n",
       "FLASH.EXE: the log file /dev/full could not be written: No space left on device\n"},
      {{"--log", "/dev/full", "--list", "--json"}, true, 1, "\"exit_status\":1}", "", "inquiry"},
      // An update that a failed transcript reports as failed might be made again.
      {{"--log", "/dev/full", "--update", "--yes", "--json"}, true, 0,
       "\"log_error\":\"the log file /dev/full could not be written: No space left on device\"", "", "commit 0"}});
  // clang-format on
#endif
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.arguments));
    ProgramRig rig(c.templatePackage ? MakeTemplatePackage() : MakeFlasherPackage());
    if (c.setup) c.setup(rig);
    EXPECT_EQ(rig.Run(c.arguments, c.terminalFace), c.status);
    const std::string out = rig.Out.str();
    EXPECT_NE(out.find(c.out), std::string::npos) << out;
    EXPECT_NE(rig.Err.str().find(c.err), std::string::npos) << rig.Err.str();
    EXPECT_FALSE(rig.FaceRan);
    const std::string sent = c.sent;
    int commits = 0, inquiries = 0, others = 0;
    for (std::size_t i = 0; i < rig.Sim->Size(); ++i) {
      commits += rig.Sim->Drive(i).Commits();
      for (const auto& command : rig.Sim->Drive(i).Log()) ++(command.Cdb[0] == 0x12 ? inquiries : others);
    }
    EXPECT_EQ(inquiries > 0, !sent.empty());
    EXPECT_EQ(others > 0, sent == "update" || sent.rfind("commit", 0) == 0);
    if (sent.rfind("commit ", 0) == 0) {
      EXPECT_EQ(commits, 1);
      EXPECT_EQ(rig.Sim->Drive(static_cast<std::size_t>(sent[7] - '0')).Commits(), 1);
    } else {
      EXPECT_EQ(commits, 0);
    }
#if !defined(_WIN32)
    if (std::find(c.arguments.begin(), c.arguments.end(), "--json") != c.arguments.end() && c.status != 2) {
      EXPECT_EQ(JsonExitStatus(out), c.status) << out;
    }
#endif
  }
#if !defined(_WIN32)
  std::filesystem::remove(fifo);
#endif
}

// The update without questions is the window's update: the same commands with the
// same data, in the same order, while the drive is held, down to the line's refresh.
TEST(CommandLine, UpdateSendsWhatTheWindowsUpdateSends) {
  ProgramRig window, unattended;
  window.Ui.Answers = {DialogResult::Yes, DialogResult::Yes};
  window.Ui.Script = {[](RecordingToolkit& ui) { ui.UserPressesButton(); }};
  EXPECT_EQ(window.Run({}), 0);
  EXPECT_EQ(window.Ui.Group, "Flash Completed.");
  EXPECT_EQ(unattended.Run({"--update", "--yes"}), 0);
  for (std::size_t i = 0; i < 2; ++i) {
    const auto &expected = window.Sim->Drive(i).Log(), &sent = unattended.Sim->Drive(i).Log();
    ASSERT_EQ(sent.size(), expected.size()) << "drive " << i;
    for (std::size_t k = 0; k < sent.size(); ++k) {
      EXPECT_EQ(sent[k].Cdb, expected[k].Cdb) << "command " << k;
      EXPECT_EQ(sent[k].Data, expected[k].Data) << "command " << k;
      EXPECT_EQ(sent[k].Claimed, expected[k].Claimed) << "command " << k;
    }
  }
  EXPECT_EQ(unattended.Sim->Drive(0).Commits(), 1);
}

TEST(CommandLine, WithoutOptionsTheWindowRunsAndTerminalOnlyChoosesTheFace) {
  for (const bool terminal : {false, true}) {
    ProgramRig rig;
    rig.Ui.Answers = {DialogResult::No};
    EXPECT_EQ(rig.Run(terminal ? std::vector<std::string>{"--terminal"} : std::vector<std::string>{}), 0);
    EXPECT_TRUE(rig.FaceRan);
    EXPECT_EQ(rig.TerminalAsked, terminal);
    ASSERT_EQ(rig.Ui.Dialogs.size(), 1u);  // the warning, declined
    EXPECT_EQ(rig.Out.str() + rig.Err.str(), "");
  }
}

#if !defined(_WIN32)
// The manual page says what --help says: the same options, each in the synopsis
// and with an entry of its own, and the same exit statuses, each page entry naming
// the options and the log file that --help names for that status.
TEST(CommandLine, TheManualPageSaysWhatHelpSays) {
  std::stringstream read;
  read << std::ifstream(std::string(FLASHUTIL_SOURCE_DIR) + "/doc/flashutil.1").rdbuf();
  const std::string page = std::regex_replace(read.str(), std::regex("\\\\-"), "-");
  auto section = [&page](const std::string& name) {
    const std::size_t start = page.find(".SH " + name + "\n");
    return start == std::string::npos ? "" : page.substr(start, page.find("\n.SH ", start + 1) - start);
  };
  // What a pattern finds in a text: its first group (else the match) to its second.
  auto found = [](const std::string& text, const char* pattern) {
    std::map<std::string, std::string> matches;
    const std::regex expression(pattern);
    for (std::sregex_iterator i(text.begin(), text.end(), expression), end; i != end; ++i) {
      matches[(*i)[i->size() > 1 ? 1 : 0]] = i->size() > 2 ? (*i)[2].str() : "";
    }
    return matches;
  };
  auto options = [&found](const std::string& text) { return found(text, "--[a-z]+"); };
  ProgramRig rig;
  ASSERT_EQ(rig.Run({"--help"}), 0);
  const std::string help = rig.Out.str();
  EXPECT_EQ(options(page), options(help));
  EXPECT_EQ(options(section("SYNOPSIS")), options(help.substr(0, help.find("\n\n"))));
  EXPECT_EQ(found(section("OPTIONS"), "\n\\.BI? (--[a-z]+)"), options(help));

  // "Exit status: 0 what; 1 what; ..." against the page's ".TP\n.B N\nwhat" entries.
  const auto said = found(help.substr(help.find("Exit status:")), "[:;]\\s*(\\d) ([^;]*)");
  auto paged = found(section("EXIT STATUS"), "\\.TP\n\\.B (\\d)\n((?:[^.]|\\.[^TPS])*)");
  EXPECT_EQ(said.size(), paged.size());
  for (const auto& [status, meaning] : said) {
    SCOPED_TRACE("exit status " + status + ": " + meaning);
    ASSERT_TRUE(paged.count(status));
    for (const auto& option : options(meaning)) EXPECT_TRUE(options(paged[status]).count(option.first));
    EXPECT_EQ(meaning.find("log file") == std::string::npos,
              paged[status].find("log file") == std::string::npos);
  }
}
#endif

TEST(CommandLine, InfoShowsTheRecordAndTheImagesDigestWithoutADrive) {
  ProgramRig flasher(MakeFlasherPackage({}, {'a', 'b', 'c'}));
  EXPECT_EQ(flasher.Run({"--info"}), 0);
  EXPECT_EQ(flasher.Out.str(),
            "Program: /opt/flash/FLASH.EXE\n"
            "Kind: flash program\n"
            "Model: \"CRW-5224A\"\n"
            "Inquiry: \"QVXR    CRW-5224A\"\n"
            "Firmware range: \"1000-1FFF\"\n"
            "Vendor: \"Qvxr\"\n"
            "Note: \"\"\n"
            "Firmware name: \"2000.\"\n"
            "Image size: 3 bytes\n"
            "Image SHA-256: ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad\n"
            "Format marks: none\n");

  auto marked = MakeFlasherPackage({"M\x1b", "X", "-", "v", "", "2000."});
  std::memcpy(marked->ImageArea + 0x4008, "\x05\x80", 2);
  std::memcpy(marked->ImageArea + 0x4018, "dvd-rom pvb-420", 15);
  SetPackageImageSize(*marked, 0xFFFFFFFF);
  const std::string info = PackageInfo(*marked);
  EXPECT_NE(info.find("Model: \"M\\x1B\"\n"), std::string::npos) << info;
  EXPECT_NE(info.find("(more than the image area holds; the digest is of its 524288 bytes)"),
            std::string::npos);
  EXPECT_NE(info.find("Format marks: 05 80 at 4008h, \"DVD-ROM PVB-420\" (new format, named, DVD-ROM)\n"),
            std::string::npos);

  // What no build writes is named on a line of its own, and --info fails.
  auto empty = MakeFlasherPackage();
  SetPackageImageSize(*empty, 0);
  auto unended = MakeFlasherPackage();
  std::memset(unended->VendorName, 'V', kTextFieldSize);
  auto beyond = MakeFlasherPackage({}, std::vector<std::uint8_t>(0x1101));
  std::memcpy(beyond->ImageArea + 0x1100, "\x05\x80", 2);
  std::pair<std::unique_ptr<FlashPackage>, const char*> damaged[] = {
      {std::move(empty), "the image size, 0 bytes, is not from 1 to 524288; the update refuses this program"},
      {std::move(unended), "the Vendor field has no end within its 25 bytes"},
      {std::move(beyond), "the format mark at 1100h lies beyond the image's 4353 bytes"},
  };
  for (auto& [package, damage] : damaged) {
    ProgramRig rig(std::move(package));
    EXPECT_EQ(rig.Run({"--info"}), 1) << damage;
    EXPECT_NE(rig.Out.str().find(std::string("\nDamaged: ") + damage), std::string::npos) << rig.Out.str();
  }

  ProgramRig builder(MakeTemplatePackage());
  EXPECT_EQ(builder.Run({"--info"}), 0);
  EXPECT_NE(builder.Out.str().find("Kind: template"), std::string::npos);
  EXPECT_TRUE(flasher.Sim->Drive(0).Log().empty());
  EXPECT_TRUE(builder.Sim->Drive(0).Log().empty());
}

TEST(CommandLine, ListSendsOnlyInquiryAndMarksTheDrivesItAdmits) {
  ProgramRig flasher;
  EXPECT_EQ(flasher.Run({"--list"}), 0);
  EXPECT_EQ(flasher.Out.str(),
            "* 0-0-0 D: QVXR    CRW-5224A       1000\n"
            "  0-0-0 E: QVXR    DVD-ROM 16X     0103\n"
            "*: this flash program updates the drive.\n");
  EXPECT_FALSE(flasher.FaceRan);
  for (std::size_t i = 0; i < 2; ++i) {
    const auto& log = flasher.Sim->Drive(i).Log();
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0].Cdb[0], 0x12);
  }

  ProgramRig builder(MakeTemplatePackage());
  builder.Sim->Drive(1).Config().OpenFails = true;
  builder.Sim->Drive(1).Config().OpenError = SimError::kAccess;
  EXPECT_EQ(builder.Run({"--list"}), 0);
  EXPECT_EQ(builder.Out.str(),
            "  0-0-0 D: QVXR    CRW-5224A       1000\n"
            "This program is a template: it updates no drive.\n");
  EXPECT_EQ(builder.Err.str().rfind("Error opening: 13, Drive: /dev/sim/reader\n", 0), 0u)
      << builder.Err.str();

  ProgramRig none;
  none.Sim = std::make_shared<SimulatedTransport>();
  EXPECT_EQ(none.Run({"--list"}), 4);
  EXPECT_EQ(none.Out.str(), "No drive found.\n");
}

TEST(CommandLine, LogHoldsTheSessionOneLinePerCommand) {
  const std::string file =
      (std::filesystem::temp_directory_path() /
       ("flashutil-log-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed())))
          .string();
  std::filesystem::remove(file);
  ProgramRig rig;
  rig.Sim->Drive(1).Config().Faults.push_back({SimFault::Kind::TransportFailure, 0x12});
  rig.Ui.Answers = {DialogResult::Yes};
  EXPECT_EQ(rig.Run({"--log=" + file}), 0);
  EXPECT_EQ(rig.Run({"--log", file, "--list"}), 0);  // a second session appends
  rig.LogLineEnd = "\r\n";                           // as on Windows
  EXPECT_EQ(rig.Run({"--log", file, "--info"}), 0);  // --info is a session too
  std::ifstream raw(file, std::ios::binary);
  const std::string text{std::istreambuf_iterator<char>(raw), std::istreambuf_iterator<char>()};
  raw.close();
  EXPECT_NE(text.find("\r\nprogram /opt/flash/FLASH.EXE, Flash Utility 1.050\r\n"), std::string::npos);
  EXPECT_EQ(text.substr(text.size() - 2), "\r\n");

  std::vector<std::string> lines, commands;
  {
    std::ifstream in(file);
    for (std::string line; std::getline(in, line);) {
      lines.push_back(line);
      if (line.rfind("command ", 0) == 0) commands.push_back(line);
    }
  }
  std::filesystem::remove(file);
  ASSERT_GE(lines.size(), 4u);
  EXPECT_EQ(lines[0].rfind("start ", 0), 0u);
  EXPECT_EQ(lines[1], "program /opt/flash/FLASH.EXE, Flash Utility 1.050");
  EXPECT_EQ(lines[2], "package Kind: flash program");
  EXPECT_NE(std::find(lines.begin(), lines.end(),
                      "dialog warning \"" + EscapedText(rig.Ui.Dialogs[0].Text) + "\": Yes"),
            lines.end());
  EXPECT_EQ(
      std::count_if(lines.begin(), lines.end(), [](const std::string& l) { return l.rfind("end ", 0) == 0; }),
      3);
  EXPECT_NE(lines.back().find(", exit status 0"), std::string::npos);

  // One line per command the drives received, with its bytes, and the failed ones.
  const std::size_t sent = rig.Sim->Drive(0).Log().size() + rig.Sim->Drive(1).Log().size();
  EXPECT_EQ(commands.size(), sent);
  EXPECT_EQ(
      commands[0].rfind("command writer: 12 00 00 00 80 00 00 00 00 00 00 00, in 128 bytes, time-out 60 s, "
                        "status 00, no sense, error 0, ",
                        0),
      0u)
      << commands[0];
  EXPECT_EQ(
      commands[1].rfind("command reader: 12 00 00 00 80 00 00 00 00 00 00 00, in 128 bytes, time-out 60 s, "
                        "not completed, no sense, error 5 (",
                        0),
      0u)
      << commands[1];
}

#if !defined(_WIN32)
TEST(ProgramFile, WithoutProcTheNameItWasStartedByLeadsToIt) {
  namespace fs = std::filesystem;
  const fs::path dir = TempName("flashutil-bin-");
  fs::create_directories(dir / "bin");
  std::ofstream(dir / "bin" / "FLASH") << "program";
  std::ofstream(dir / "bin" / "DATA") << "not a program";
  fs::permissions(dir / "bin" / "FLASH", fs::perms::owner_all);
  fs::create_symlink("bin/FLASH", dir / "link");
  const std::string program = fs::canonical(dir / "bin" / "FLASH").string(), noProc = "/nonexistent/self/exe";
  const char* path = std::getenv("PATH");
  const std::string savedPath = path != nullptr ? path : "";
  setenv("PATH", ("/nonexistent:" + (dir / "bin").string()).c_str(), 1);
  std::string problem;
  EXPECT_EQ(ProgramOwnFile((dir / "link").string(), problem, noProc), program);  // links followed
  EXPECT_EQ(ProgramOwnFile("FLASH", problem, noProc), program);
  EXPECT_EQ(ProgramOwnFile("DATA", problem, noProc), "");  // not executable
  EXPECT_EQ(problem, "/nonexistent/self/exe cannot be read, and DATA is not on PATH");
  setenv("PATH", savedPath.c_str(), 1);
  fs::remove_all(dir);

  ProgramRig unknown;
  unknown.ProgramFile.clear();
  EXPECT_EQ(unknown.Run({"--info"}), 0);
  EXPECT_EQ(unknown.Out.str().rfind(
                "Program: cannot be found (/proc/self/exe cannot be read, and flash is not on PATH)\n", 0),
            0u);
}

TEST(CommandLine, ALogThatCannotBeWrittenCostsTheLogNotTheUpdate) {
  ProgramRig rig;
  rig.Ui.Answers = {DialogResult::Yes, DialogResult::Yes};
  rig.Ui.Script = {[](RecordingToolkit& ui) { ui.UserPressesButton(); }};
  EXPECT_EQ(rig.Run({"--log", "/dev/full"}), 1);
  EXPECT_EQ(rig.Ui.Group, "Flash Completed.");
  EXPECT_EQ(rig.Err.str(),
            "FLASH.EXE: the log file /dev/full could not be written: No space left on device\n");
}
#endif

TEST(CommandLine, NamesPathsAndRepliesFromOutsideAreEscaped) {
  const std::string file = TempName("flashutil-escaped-");
  ProgramRig rig;
  rig.ProgramName = "F\x1B[2J.EXE";
  rig.ProgramFile = "/opt/\x1B]0;t\x07\x9B/F.EXE";
  rig.Sim->Drive(1).Config().Product = "DVD\2332J";
  EXPECT_EQ(rig.Run({"--bogus"}), 2);
  EXPECT_EQ(rig.Err.str().rfind("F\\x1B[2J.EXE: unknown option '--bogus'\nUsage: F\\x1B[2J.EXE [", 0), 0u);
  EXPECT_EQ(rig.Run({"--info", "--log", file}), 0);
  EXPECT_EQ(rig.Run({"--list"}), 0);
  std::ifstream log(file);
  std::string start, program;
  std::getline(log, start);
  std::getline(log, program);
  log.close();
  std::filesystem::remove(file);
  EXPECT_EQ(program, "program /opt/\\x1B]0;t\\x07\\x9B/F.EXE, Flash Utility 1.050");
  EXPECT_NE(rig.Out.str().find("Program: /opt/\\x1B]0;t\\x07\\x9B/F.EXE\n"), std::string::npos);
  EXPECT_NE(rig.Out.str().find("  0-0-0 E: QVXR    DVD\\x9B2J          0103\n"), std::string::npos);
}

}  // namespace
