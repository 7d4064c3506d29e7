#include "app/CommandLine.h"

#include <algorithm>
#include <cstring>
#include <ostream>
#include <sstream>

#include "app/FlashForm.h"
#include "app/ImageFormat.h"
#include "app/SessionLog.h"
#include "common/Sha256.h"
#include "common/Text.h"
#include "device/Cddrives.h"

#ifndef FLASHUTIL_VERSION
#error "FLASHUTIL_VERSION names the project's version"
#endif

namespace {

const char* ActionOption(CommandLine::Action action) {
  switch (action) {
    case CommandLine::Action::Version:
      return "--version";
    case CommandLine::Action::Info:
      return "--info";
    case CommandLine::Action::List:
      return "--list";
    default:
      return "";
  }
}

CommandLine Refused(std::string error) {
  CommandLine line;
  line.What = CommandLine::Action::Refuse;
  line.Error = std::move(error);
  return line;
}

std::string UsageText(const std::string& name, bool terminalFace) {
  std::string text = "Usage: " + name + (terminalFace ? " [--terminal]" : "") + " [--log FILE]\n";
  return text + "       " + name + " --info | --list [--log FILE] | --version | --help\n";
}

std::string HelpText(const std::string& name, bool terminalFace) {
  std::string text = UsageText(name, terminalFace);
  text +=
      "\nWithout options a flash program offers the drives it updates and updates the chosen one;\n"
      "a template builds flash programs from its model list (the program's path with \".INI\").\n\n"
      "  --info        what this program file carries: template or flash program, the model\n"
      "                record, the image's size, SHA-256 and format marks; no drive is used\n"
      "  --list        the drives found (INQUIRY only), \"*\" before those this flash program updates\n"
      "  --log FILE    append a transcript of the session (drive commands, dialogs, answers) to FILE\n";
  if (terminalFace) text += "  --terminal    the terminal face even where a window could open\n";
  text +=
      "  --version     the program's version\n"
      "  --help        this text\n\n"
      "Exit status: 0 done (also when the update itself failed: its dialogs say so); 1 the\n"
      "drives or the log file could not be had, the log could not be written, --list found no\n"
      "drive, or --info found the flash program damaged; 2 a command line it refuses.\n";
  return text;
}

std::string Quoted(const char* field, std::size_t width) {
  std::string text = "\"";
  text += EscapedText(FieldText(field, width));
  text += '"';
  return text;
}

std::string FormatMarks(const ImageFormat& format) {
  if (format.Marker == 0) return "none";
  std::string text = Format("05 80 at %Xh", static_cast<unsigned>(format.Marker));
  if (format.NewFormat1100) return text + " (new format 1100)";
  if (format.Text == nullptr) return text + " without a model text (not a new format)";
  text += std::string(", \"") + format.Text + "\" (new format, named";
  return text + (format.NewFormatDvdRom ? ", DVD-ROM)" : ")");
}

// What in a flash program no build would have written, one text each: an image
// size the update refuses, a text field without its end, a format mark outside
// the image (read from bytes the image does not hold).
std::vector<std::string> PackageDamage(const FlashPackage& package) {
  std::vector<std::string> damage;
  if (IsTemplatePackage(package)) return damage;
  const std::pair<const char*, const char*> fields[] = {
      {"Model", package.ModelName},
      {"Inquiry", package.InquiryId},
      {"Firmware range", package.FirmwareRange},
      {"Vendor", package.VendorName},
      {"Note", package.NoteText},
  };
  for (const auto& [field, text] : fields) {
    if (FieldText(text, kTextFieldSize).size() == kTextFieldSize) {
      damage.push_back(Format("the %s field has no end within its %u bytes", field,
                              static_cast<unsigned>(kTextFieldSize)));
    }
  }
  const std::uint32_t size = PackageImageSize(package);
  if (size == 0 || size > kImageAreaSize) {
    damage.push_back(Format("the image size, %u bytes, is not from 1 to %u; the update refuses this program",
                            static_cast<unsigned>(size), static_cast<unsigned>(kImageAreaSize)));
    return damage;
  }
  const ImageFormat format = CheckImageFormat(package);
  const std::uint32_t end =
      format.Marker +
      (format.Text != nullptr ? 16 + static_cast<std::uint32_t>(std::strlen(format.Text)) : 2);
  if (format.Marker != 0 && end > size) {
    damage.push_back(Format("the format mark at %Xh lies beyond the image's %u bytes",
                            static_cast<unsigned>(format.Marker), static_cast<unsigned>(size)));
  }
  return damage;
}

// The drive units' messages while the drives are listed: on the error stream.
class StreamSink : public MessageSink {
 public:
  explicit StreamSink(std::ostream& err) : err_(err) {}
  void ShowMessage(const std::string& text) override { err_ << text << '\n'; }
  void ShowErrorMessage(const std::string& text) override { err_ << text << '\n'; }

 private:
  std::ostream& err_;
};

int ListDrives(const FlashPackage& package, std::ostream& out, std::ostream& err) {
  StreamSink sink(err);
  Cddrive::SetMessageSink(&sink);
  const bool templateMode = IsTemplatePackage(package);
  const DriveAdmission admission = DriveAdmission::ForPackage(package);
  int found = 0;
  {
    // Constructing the list opens each drive and sends it INQUIRY; the lines are
    // what that INQUIRY left behind, so nothing else goes to a drive.
    TCdDrives drives;
    found = drives.Count();
    for (int i = 0; i < found; ++i) {
      drives.Select(static_cast<std::int16_t>(i));
      const TCdDrive& drive = *drives.Current;
      const bool admitted = !templateMode && admission.Admits(drive.GetVendorProduct(), drive.GetRevision());
      out << (admitted ? "* " : "  ") << EscapedText(drive.DriveText) << '\n';
    }
  }
  Cddrive::SetMessageSink(nullptr);
  if (found == 0) {
    out << "No drive found.\n";
    return 1;
  }
  out << (templateMode ? "This program is a template: it updates no drive.\n"
                       : "*: this flash program updates the drive.\n");
  return 0;
}

}  // namespace

const char* ProgramVersion() {
  return FLASHUTIL_VERSION;
}

CommandLine ParseCommandLine(const std::vector<std::string>& arguments, bool terminalFace) {
  CommandLine line;
  // Help wins over anything else on the line, whatever is wrong with the rest.
  for (const std::string& argument : arguments) {
    if (argument == "--help" || argument == "-h") {
      line.What = CommandLine::Action::Help;
      return line;
    }
  }
  for (std::size_t i = 0; i < arguments.size(); ++i) {
    const std::string& argument = arguments[i];
    CommandLine::Action action = CommandLine::Action::Run;
    if (argument == "--version") {
      action = CommandLine::Action::Version;
    } else if (argument == "--info") {
      action = CommandLine::Action::Info;
    } else if (argument == "--list") {
      action = CommandLine::Action::List;
    } else if (argument == "--terminal") {
      if (!terminalFace) return Refused("--terminal: this program has no terminal face, only its window");
      line.Terminal = true;
    } else if (argument == "--log" || argument.rfind("--log=", 0) == 0) {
      if (argument == "--log") {
        if (i + 1 == arguments.size()) return Refused("--log needs a file name");
        line.LogFile = arguments[++i];
      } else {
        line.LogFile = argument.substr(6);
      }
      if (line.LogFile.empty()) return Refused("--log needs a file name");
    } else if (!argument.empty() && argument[0] == '-') {
      return Refused("unknown option '" + EscapedText(argument) + "'");
    } else {
      return Refused("unexpected argument '" + EscapedText(argument) + "'");
    }
    if (action == CommandLine::Action::Run) continue;
    if (line.What != CommandLine::Action::Run && line.What != action) {
      return Refused(std::string(ActionOption(line.What)) + " and " + ActionOption(action) +
                     " cannot be combined");
    }
    line.What = action;
  }
  return line;
}

std::string PackageInfo(const FlashPackage& package) {
  if (IsTemplatePackage(package)) {
    return "Kind: template (builds flash programs; carries no model record and no image)\n";
  }
  std::ostringstream text;
  text << "Kind: flash program\n";
  text << "Model: " << Quoted(package.ModelName, kTextFieldSize) << '\n';
  text << "Inquiry: " << Quoted(package.InquiryId, kTextFieldSize) << '\n';
  text << "Firmware range: " << Quoted(package.FirmwareRange, kTextFieldSize) << '\n';
  text << "Vendor: " << Quoted(package.VendorName, kTextFieldSize) << '\n';
  text << "Note: " << Quoted(package.NoteText, kTextFieldSize) << '\n';
  text << "Firmware name: " << Quoted(package.FirmwareName, kFirmwareNameSize) << '\n';
  const std::uint32_t size = PackageImageSize(package);
  const std::size_t held = std::min<std::size_t>(size, kImageAreaSize);
  text << "Image size: " << size << " bytes";
  if (held < size) text << " (more than the image area holds; the digest is of its " << held << " bytes)";
  text << '\n';
  text << "Image SHA-256: " << Sha256Hex(package.ImageArea, held) << '\n';
  text << "Format marks: " << FormatMarks(CheckImageFormat(package)) << '\n';
  for (const std::string& damage : PackageDamage(package)) text << "Damaged: " << damage << '\n';
  return text.str();
}

int RunProgram(const std::vector<std::string>& arguments, const ProgramPlatform& platform, std::ostream& out,
               std::ostream& err) {
  // Names and paths from outside, as a terminal may show them.
  const std::string name = EscapedText(platform.ProgramName);
  std::string program = EscapedText(platform.ProgramFile);
  if (program.empty()) {
    program = "cannot be found";
    if (!platform.ProgramFileProblem.empty()) {
      program += " (" + EscapedText(platform.ProgramFileProblem) + ")";
    }
  }
  const FlashPackage& package = *platform.Package;
  const CommandLine line = ParseCommandLine(arguments, platform.TerminalFace);
  switch (line.What) {
    case CommandLine::Action::Refuse:
      err << name << ": " << line.Error << '\n' << UsageText(name, platform.TerminalFace);
      return 2;
    case CommandLine::Action::Help:
      out << HelpText(name, platform.TerminalFace);
      return 0;
    case CommandLine::Action::Version:
      out << "Flash Utility " << ProgramVersion() << '\n';
      return 0;
    default:
      break;
  }

  const bool info = line.What == CommandLine::Action::Info;
  const std::shared_ptr<Transport> transport = info ? nullptr : platform.MakeTransport();
  if (!info && transport == nullptr) return 1;
  SessionLog log;
  const bool logging = !line.LogFile.empty();
  // Read once (the image's digest and checks) for the log and for --info alike.
  const std::string packageInfo = logging || info ? PackageInfo(package) : std::string();
  if (logging) {
    std::string error;
    if (!log.Open(line.LogFile, platform.LogLineEnd, error)) {
      err << name << ": " << error << '\n';
      return 1;
    }
    log.Write("start " + UtcTimeText());
    log.Write("program " + program + ", Flash Utility " + ProgramVersion());
    std::istringstream lines(packageInfo);
    for (std::string entry; std::getline(lines, entry);) log.Write("package " + entry);
  }

  int code = 0;
  if (info) {
    out << "Program: " << program << '\n' << packageInfo;
    code = PackageDamage(package).empty() ? 0 : 1;
  } else {
    Transport* used = transport.get();
    std::unique_ptr<Transport> logged;
    if (logging) {
      logged = MakeLoggingTransport(*transport, log);
      used = logged.get();
    }
    Cddrive::InstallTransport(used);
    const std::unique_ptr<SystemGuard> guard =
        platform.MakeSystemGuard ? platform.MakeSystemGuard() : nullptr;
    InstallSystemGuard(guard.get());
    if (line.What == CommandLine::Action::List) {
      code = ListDrives(package, out, err);
    } else {
      code = platform.RunFace(line.Terminal, [&](Toolkit& ui) {
        if (!logging) return RunApplication(ui, package, platform.IniReaders);
        const std::unique_ptr<Toolkit> transcribed = MakeLoggingToolkit(ui, log);
        return RunApplication(*transcribed, package, platform.IniReaders);
      });
    }
    InstallSystemGuard(nullptr);
    Cddrive::InstallTransport(nullptr);
  }
  if (logging) {
    log.Write("end " + UtcTimeText() + Format(", exit status %d", code));
    const std::string failed = log.WriteError();
    if (!failed.empty()) {
      // Said once, after the work: the update is never held up or cut short for its transcript.
      err << name << ": the log file " << EscapedText(line.LogFile) << " could not be written: " << failed
          << '\n';
      if (code == 0) code = 1;
    }
  }
  return code;
}
