// The terminal face with the fuzzer's bytes as standard input: a flash program on
// the built-in simulated drives, or a template building from a model list.
//
// Input: a mode byte (bit 0: template, bit 1: output on a terminal, bit 2:
// colours), then a first line whose text the program shows (the flash program's
// model name, or the range of the template's second model), then the lines the
// user types. Nothing reaches a drive's flash without two answers yes and a FLASH
// command, and no program is built without a Build command; with colours off,
// texts that hold no escape byte of the user's never bring one to the terminal.
#include <algorithm>
#include <cctype>
#include <sstream>

#include "fuzz/FuzzSupport.h"
#include "platform/linux/Platform.h"
#include "platform/sim/SimulatedDrives.h"
#include "tests/UpdateRig.h"
#include "toolkit/terminal/TerminalToolkit.h"

namespace {

namespace fs = std::filesystem;

// The terminal face without the update's real waiting.
class QuickTerminal : public TerminalToolkit {
 public:
  using TerminalToolkit::TerminalToolkit;
  void Sleep(unsigned) override {}
};

// The lines typed, as the face reads a command or an answer: blanks dropped, small letters.
std::vector<std::string> Commands(const std::string& typed) {
  std::vector<std::string> lines;
  std::istringstream in(typed);
  for (std::string line; std::getline(in, line);) {
    std::string command;
    for (char c : line) {
      if (!std::isspace(static_cast<unsigned char>(c))) {
        command += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
      }
    }
    lines.push_back(command);
  }
  return lines;
}

int Count(const std::vector<std::string>& lines, std::initializer_list<const char*> words) {
  return static_cast<int>(std::count_if(lines.begin(), lines.end(), [&](const std::string& line) {
    return std::any_of(words.begin(), words.end(), [&](const char* word) { return line == word; });
  }));
}

// A template program file: code, the keyword, a record, an image area with the sentinel.
std::vector<std::uint8_t> TemplateProgram() {
  std::vector<std::uint8_t> file(64, 0x90);
  const char* keyword = EmbeddedPackage().PackageKeyword;
  file.insert(file.end(), keyword, keyword + kKeywordSize);
  file.resize(file.size() + kModelRecordSize, 0x5A);
  file.insert(file.end(), TemplateSentinel, TemplateSentinel + 4);
  file.resize(file.size() + 4096, 0xA5);
  return file;
}

struct Template {
  fs::path Dir = FuzzScratchDir() / "template";
  std::unique_ptr<FlashPackage> Package = MakeTemplatePackage();

  Template() {
    fs::create_directories(Dir);
    const std::vector<std::uint8_t> program = TemplateProgram();
    WriteFuzzFile(Dir / "FLASH.EXE", program.data(), program.size());
    WriteFuzzFile(Dir / "1A2B.BIN", "SIMREV=1A2B firmware");
    WriteFuzzFile(Dir / "2000.BIN", "SIMREV=2000 firmware");
  }
  std::vector<std::string> Built() const {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(Dir)) {
      const std::string name = entry.path().filename().string();
      if (name != "FLASH.EXE" && name != "FLASH.INI" && name.find(".BIN") == std::string::npos) {
        names.push_back(name);
      }
    }
    return names;
  }
};

struct Flasher {
  std::unique_ptr<FlashPackage> Package = MakeFlasherPackage({}, MakeImage(0x8000));
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const Template tmpl;
  static Flasher flasher;
  FuzzInput in(data, size);
  const std::uint8_t mode = in.Byte();
  const bool templateMode = (mode & 1) != 0, interactive = (mode & 2) != 0, colour = (mode & 4) != 0;
  const std::string rest = in.Text(in.Left());
  const std::size_t firstEnd = std::min(rest.find('\n'), rest.size());
  const std::string shown = rest.substr(0, firstEnd);
  const std::string typed = rest.substr(std::min(firstEnd + 1, rest.size()));
  const std::vector<std::string> commands = Commands(typed);

  const KeepWorkingDirectory keep;
  auto drives = MakeDefaultSimulatedDrives();
  for (std::size_t i = 0; i < drives->Size(); ++i) drives->Drive(i).SetRecording(false);
  Cddrive::ResetUnit();
  Cddrive::InstallTransport(drives.get());

  FlashPackage* package = flasher.Package.get();
  std::string program = "/opt/flash/FLASH.EXE";
  if (templateMode) {
    package = tmpl.Package.get();
    program = (tmpl.Dir / "FLASH.EXE").string();
    WriteFuzzFile(tmpl.Dir / "FLASH.INI",
                  "[MODEL00]\nModel=CRW-5224A\nInquiry=QVXR    CRW-5224A\nFW-Range=1000-1FFF\nBINMask=*.BIN\n"
                  "Vendor=QVXR\nNote=\n[MODEL01]\nModel=Other\nInquiry=--\nFW-Range=" +
                      shown + "\nBINMask=2*.BIN\nVendor=v\nNote=FLASH-ALL\n");
    fs::current_path(tmpl.Dir);
  } else {
    PutText(package->ModelName, kTextFieldSize, shown);
  }

  std::istringstream input(typed);
  std::ostringstream output;
  QuickTerminal ui(input, output, interactive, program, "FLASH.EXE");
  ui.SetColour(colour);
  FUZZ_CHECK(RunApplication(ui, *package, [] { return MakeIniReader(); }) == 0, "the program ends with 0");
  Cddrive::InstallTransport(nullptr);
  if (std::getenv("FLASHUTIL_FUZZ_SHOW") != nullptr) std::fputs(output.str().c_str(), stderr);

  const int commits = drives->Drive(0).Commits() + drives->Drive(1).Commits();
  const int yes = Count(commands, {"y", "yes"});
  FUZZ_CHECK(commits == 0 || (yes >= 2 && Count(commands, {"f", "flash"}) >= 1),
             "a flash without two answers yes and a FLASH command");
  if (templateMode) {
    const std::vector<std::string> built = tmpl.Built();
    FUZZ_CHECK(built.empty() || Count(commands, {"b", "build"}) >= 1, "a program built without Build");
    for (const std::string& name : built) fs::remove(tmpl.Dir / name);
  }
  if (!colour && typed.find('\x1b') == std::string::npos) {
    FUZZ_CHECK(output.str().find('\x1b') == std::string::npos, "an escape byte reached the terminal");
  }
  return 0;
}
