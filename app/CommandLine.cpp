#include "app/CommandLine.h"

#include <algorithm>
#include <ostream>
#include <sstream>

#include "app/FlashForm.h"
#include "app/SessionLog.h"
#include "common/Sha256.h"
#include "common/Text.h"
#include "device/Cddrives.h"
#include "update/ImageFormat.h"

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
      "drives or the log file could not be had, or --list found no drive; 2 a command line it refuses.\n";
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
  return text.str();
}

int RunProgram(const std::vector<std::string>& arguments, const ProgramPlatform& platform, std::ostream& out,
               std::ostream& err) {
  const std::string& name = platform.ProgramName;
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
    case CommandLine::Action::Info:
      out << "Program: " << platform.ProgramFile << '\n' << PackageInfo(package);
      return 0;
    default:
      break;
  }

  const std::shared_ptr<Transport> transport = platform.MakeTransport();
  if (transport == nullptr) return 1;
  Transport* used = transport.get();
  SessionLog log;
  std::unique_ptr<Transport> logged;
  if (!line.LogFile.empty()) {
    std::string error;
    if (!log.Open(line.LogFile, error)) {
      err << name << ": " << error << '\n';
      return 1;
    }
    log.Write("start " + UtcTimeText());
    log.Write("program " + platform.ProgramFile + ", Flash Utility " + ProgramVersion());
    std::istringstream info(PackageInfo(package));
    for (std::string entry; std::getline(info, entry);) log.Write("package " + entry);
    logged = MakeLoggingTransport(*transport, log);
    used = logged.get();
  }

  Cddrive::InstallTransport(used);
  const std::unique_ptr<SystemGuard> guard = platform.MakeSystemGuard ? platform.MakeSystemGuard() : nullptr;
  InstallSystemGuard(guard.get());
  int code = 0;
  if (line.What == CommandLine::Action::List) {
    code = ListDrives(package, out, err);
  } else {
    code = platform.RunFace(line.Terminal, [&](Toolkit& ui) {
      if (!logged) return RunApplication(ui, package, platform.IniReaders);
      const std::unique_ptr<Toolkit> logging = MakeLoggingToolkit(ui, log);
      return RunApplication(*logging, package, platform.IniReaders);
    });
  }
  InstallSystemGuard(nullptr);
  Cddrive::InstallTransport(nullptr);
  if (logged) log.Write("end " + UtcTimeText() + Format(", exit status %d", code));
  return code;
}
