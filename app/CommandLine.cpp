#include "app/CommandLine.h"

#include <algorithm>
#include <cstring>
#include <functional>
#include <ostream>
#include <sstream>

#include "app/FlashForm.h"
#include "app/ImageFormat.h"
#include "app/SessionLog.h"
#include "common/Json.h"
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
    case CommandLine::Action::Update:
      return "--update";
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
  text += "       " + name + " --update [--drive ID] [--yes] [--force] [--json] [--log FILE]\n";
  return text + "       " + name + " --info | --list [--json] [--log FILE] | --version | --help\n";
}

std::string HelpText(const std::string& name, bool terminalFace) {
  std::string text = UsageText(name, terminalFace);
  text +=
      "\nWithout options a flash program offers the drives it updates and updates the chosen one;\n"
      "a template builds flash programs from its model list (the program's path with \".INI\").\n\n"
      "  --info        what this program file carries: template or flash program, the model\n"
      "                record, the image's size, SHA-256 and format marks; no drive is used\n"
      "  --list        the drives found (INQUIRY only), \"*\" before those this flash program updates\n"
      "  --update      update a drive without questions, for scripts and fleet tools; without --yes\n"
      "                a dry run: it says what it would do and sends the drives nothing but INQUIRY\n"
      "  --drive ID    the drive --update takes: its line as --list shows it, its address (H-T-L),\n"
      "                its letter or its device node; without it, the one drive this program updates\n"
      "  --yes         with --update: update the drive; the window's warnings go to the error stream\n"
      "  --force       with --update: update a drive that already has this revision (or a newer\n"
      "                one, where the program names a firmware range)\n"
      "  --json        with --list, --info or --update: one JSON document on the output, nothing else\n"
      "  --log FILE    append a transcript of the session (drive commands, dialogs, answers) to FILE\n";
  if (terminalFace) text += "  --terminal    the terminal face even where a window could open\n";
  text +=
      "  --version     the program's version\n"
      "  --help        this text\n\n"
      "Exit status: 0 done: --update updated the drive or made its dry run, an option gave its\n"
      "output, or the window closed (also when its update failed: its dialogs say so); 1 failed:\n"
      "the --update failed, the drive untouched or as the read-back left it, the log file could\n"
      "not be written (but for --update), or --info found the flash program damaged; 2 a command\n"
      "line it refuses; 3 nothing to do: the drive --update took already has this revision (see\n"
      "--force); 4 refused before any drive command: the log file could not be opened, no drive\n"
      "could be had or none was found (--list too), none or more than one that --update may take,\n"
      "--drive names none of them, the power is too low, or another program holds the drive.\n";
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

// Every drive, and whether this program updates it. Constructing the list opens
// each drive and sends it INQUIRY; the facts are what that INQUIRY left behind,
// so nothing else goes to a drive.
std::vector<DriveFacts> FindDrives(const FlashPackage& package, std::ostream& err) {
  StreamSink sink(err);
  Cddrive::SetMessageSink(&sink);
  const bool templateMode = IsTemplatePackage(package);
  const DriveAdmission admission = DriveAdmission::ForPackage(package);
  std::vector<DriveFacts> found;
  {
    TCdDrives drives;
    for (int i = 0; i < drives.Count(); ++i) {
      drives.Select(static_cast<std::int16_t>(i));
      const TCdDrive& drive = *drives.Current;
      found.push_back(
          FactsOf(drive, !templateMode && admission.Admits(drive.GetVendorProduct(), drive.GetRevision())));
    }
  }
  Cddrive::SetMessageSink(nullptr);
  return found;
}

std::string ImageDigest(const FlashPackage& package) {
  return Sha256Hex(package.ImageArea, std::min<std::size_t>(PackageImageSize(package), kImageAreaSize));
}

int UpdateStatus(const UnattendedResult& result) {
  switch (result.What) {
    case UnattendedResult::Outcome::DryRun:
    case UnattendedResult::Outcome::Updated:
      return kExitDone;
    case UnattendedResult::Outcome::Current:
      return kExitCurrent;
    case UnattendedResult::Outcome::Refused:
      return kExitRefused;
    case UnattendedResult::Outcome::Failed:
      break;
  }
  return kExitFailed;
}

std::string UpdateText(const UnattendedResult& result, const FlashPackage& package) {
  std::string text;
  if (result.Chosen >= 0) {
    text += "Drive: " + EscapedText(result.Drives[static_cast<std::size_t>(result.Chosen)].Line) + '\n';
    text += "Revision: " + EscapedText(result.RevisionBefore) + " on the drive, " +
            EscapedText(result.NewRevision) + " in this program\n";
    text += "Image SHA-256: " + ImageDigest(package) + '\n';
  }
  switch (result.What) {
    case UnattendedResult::Outcome::DryRun:
      return text + "Dry run: the drive would be updated; only INQUIRY was sent. --yes updates it.\n";
    case UnattendedResult::Outcome::Updated:
      return text + Format("Updated: the drive reports revision %s (%.1f s).\n",
                           EscapedText(result.RevisionAfter).c_str(), result.Seconds);
    case UnattendedResult::Outcome::Current:
      return text + "Already current: the drive is left alone; only INQUIRY was sent. --force updates it.\n";
    case UnattendedResult::Outcome::Refused:
      return text + "Refused: " + EscapedText(result.Reason) + '\n';
    case UnattendedResult::Outcome::Failed:
      break;
  }
  text += "Failed";
  if (!result.Step.empty()) text += " at " + result.Step;
  if (!result.Reason.empty()) text += ": " + EscapedText(result.Reason);
  if (!result.Sense.empty()) text += " (sense " + EscapedText(result.Sense) + ")";
  return text + '\n';
}

void JsonDrive(JsonWriter& json, const DriveFacts& drive) {
  json.Object();
  json.Key("line").Text(drive.Line).Key("address").Text(drive.Address);
  json.Key("letter").TextOrNull(drive.Letter).Key("node").TextOrNull(drive.Node);
  json.Key("vendor")
      .Text(drive.Vendor)
      .Key("product")
      .Text(drive.Product)
      .Key("revision")
      .Text(drive.Revision);
  json.Key("admitted").Boolean(drive.Admitted);
  json.End();
}

void JsonDrives(JsonWriter& json, const std::vector<DriveFacts>& drives) {
  json.Key("drives").Array();
  for (const DriveFacts& drive : drives) JsonDrive(json, drive);
  json.End();
}

void JsonPackage(JsonWriter& json, const FlashPackage& package) {
  json.Key("template").Boolean(IsTemplatePackage(package));
  if (IsTemplatePackage(package)) return;
  json.Key("model").Text(FieldText(package.ModelName, kTextFieldSize));
  json.Key("inquiry").Text(FieldText(package.InquiryId, kTextFieldSize));
  json.Key("firmware_range").Text(FieldText(package.FirmwareRange, kTextFieldSize));
  json.Key("vendor").Text(FieldText(package.VendorName, kTextFieldSize));
  json.Key("note").Text(FieldText(package.NoteText, kTextFieldSize));
  json.Key("firmware_name").Text(FieldText(package.FirmwareName, kFirmwareNameSize));
  json.Key("image_size").Number(PackageImageSize(package));
  json.Key("image_sha256").Text(ImageDigest(package));
  json.Key("format_marks").Text(FormatMarks(CheckImageFormat(package)));
  json.Key("damaged").Array();
  for (const std::string& damage : PackageDamage(package)) json.Text(damage);
  json.End();
}

void JsonUpdate(JsonWriter& json, const UnattendedResult& result, const UnattendedOptions& options,
                const FlashPackage& package) {
  json.Key("dry_run").Boolean(!options.Yes).Key("forced").Boolean(options.Force);
  json.Key("drive");
  if (result.Chosen >= 0) {
    JsonDrive(json, result.Drives[static_cast<std::size_t>(result.Chosen)]);
  } else {
    json.Null();
  }
  json.Key("revision_before").TextOrNull(result.RevisionBefore);
  json.Key("revision_after").TextOrNull(result.RevisionAfter);
  json.Key("new_revision").Text(result.NewRevision);
  json.Key("image_sha256").Text(ImageDigest(package));
  json.Key("outcome").Text(OutcomeName(result.What));
  json.Key("reason").TextOrNull(result.Reason);
  json.Key("step").TextOrNull(result.Step);
  json.Key("sense").TextOrNull(result.Sense);
  json.Key("duration_seconds").Decimal(result.Seconds);
  JsonDrives(json, result.Drives);
}

}  // namespace

const char* ProgramVersion() {
  return FLASHUTIL_VERSION;
}

CommandLine ParseCommandLine(const std::vector<std::string>& arguments, bool terminalFace) {
  CommandLine line;
  bool drive = false;
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
    } else if (argument == "--update") {
      action = CommandLine::Action::Update;
    } else if (argument == "--json") {
      line.Json = true;
    } else if (argument == "--yes" || argument == "-y") {
      line.Update.Yes = true;
    } else if (argument == "--force") {
      line.Update.Force = true;
    } else if (argument == "--drive" || argument.rfind("--drive=", 0) == 0) {
      if (argument == "--drive") {
        if (i + 1 == arguments.size()) return Refused("--drive needs a drive");
        line.Update.Drive = arguments[++i];
      } else {
        line.Update.Drive = argument.substr(8);
      }
      if (line.Update.Drive.empty()) return Refused("--drive needs a drive");
      drive = true;
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
  const bool update = line.What == CommandLine::Action::Update;
  const char* updateOnly = drive               ? "--drive"
                           : line.Update.Yes   ? "--yes"
                           : line.Update.Force ? "--force"
                                               : nullptr;
  if (updateOnly != nullptr && !update) return Refused(std::string(updateOnly) + " goes with --update");
  if (line.Json && line.What != CommandLine::Action::List && line.What != CommandLine::Action::Info &&
      !update) {
    return Refused("--json goes with --list, --info or --update");
  }
  if (update && line.Terminal) return Refused("--update and --terminal cannot be combined");
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
  const bool update = line.What == CommandLine::Action::Update;
  if (update && IsTemplatePackage(package)) {
    err << name << ": --update: this program is a template: it builds flash programs and updates no drive\n"
        << UsageText(name, platform.TerminalFace);
    return kExitUsage;
  }
  const char* kind = info ? "info" : update ? "update" : "list";
  // With --json the output is one document and nothing else, whatever happens.
  const auto document = [&](const std::function<void(JsonWriter&)>& body, int status) {
    JsonWriter json;
    json.Object().Key("schema").Number(kJsonSchema).Key("kind").Text(kind);
    json.Key("program").TextOrNull(platform.ProgramFile).Key("version").Text(ProgramVersion());
    body(json);
    json.Key("exit_status").Number(status).End();
    out << json.Document();
  };
  const auto failedBefore = [&](const std::string& error, int status) {
    if (line.Json) document([&error](JsonWriter& json) { json.Key("error").Text(error); }, status);
    return status;
  };

  const std::shared_ptr<Transport> transport = info ? nullptr : platform.MakeTransport();
  if (!info && transport == nullptr) return failedBefore("no drive can be had", kExitRefused);
  SessionLog log;
  const bool logging = !line.LogFile.empty();
  // Read once (the image's digest and checks) for the log and for --info alike;
  // --json writes the package's own members instead.
  const std::string packageInfo = logging || (info && !line.Json) ? PackageInfo(package) : std::string();
  if (logging) {
    std::string error;
    if (!log.Open(line.LogFile, platform.LogLineEnd, error)) {
      err << name << ": " << error << '\n';
      return failedBefore(error, kExitRefused);
    }
    log.Write("start " + UtcTimeText());
    log.Write("program " + program + ", Flash Utility " + ProgramVersion());
    std::istringstream lines(packageInfo);
    for (std::string entry; std::getline(lines, entry);) log.Write("package " + entry);
  }

  int code = kExitDone;
  std::vector<DriveFacts> drives;
  UnattendedResult updated;
  if (info) {
    if (!line.Json) out << "Program: " << program << '\n' << packageInfo;
    const bool damaged =
        line.Json ? !PackageDamage(package).empty() : packageInfo.find("\nDamaged: ") != std::string::npos;
    if (damaged) code = kExitFailed;
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
    const auto transcribed = [&](Toolkit& ui) -> std::unique_ptr<Toolkit> {
      return logging ? MakeLoggingToolkit(ui, log) : nullptr;
    };
    if (line.What == CommandLine::Action::List) {
      drives = FindDrives(package, err);
      if (!line.Json) out << DriveListText(drives, IsTemplatePackage(package));
      if (drives.empty()) code = kExitRefused;
    } else if (update) {
      UnattendedHost host = platform.Unattended;
      host.ProgramFile = platform.ProgramFile;
      updated = RunUnattendedUpdate(
          line.Update, package, platform.IniReaders, host, err,
          logging ? std::function<std::unique_ptr<Toolkit>(Toolkit&)>(transcribed) : nullptr);
      if (!line.Json) out << UpdateText(updated, package);
      code = UpdateStatus(updated);
      if (logging) log.Write(std::string("update ") + OutcomeName(updated.What));
    } else {
      code = platform.RunFace(line.Terminal, [&](Toolkit& ui) {
        if (!logging) return RunApplication(ui, package, platform.IniReaders);
        return RunApplication(*transcribed(ui), package, platform.IniReaders);
      });
    }
    InstallSystemGuard(nullptr);
    Cddrive::InstallTransport(nullptr);
  }
  std::string logError;
  if (logging) {
    log.Write("end " + UtcTimeText() + Format(", exit status %d", code));
    const std::string failed = log.WriteError();
    if (!failed.empty()) {
      // Said once, after the work: the update is never held up or cut short for its
      // transcript. The status of --update stays the update's own: a script that
      // read "failed" might update the drive again.
      logError = "the log file " + line.LogFile + " could not be written: " + failed;
      err << name << ": " << EscapedText(logError) << '\n';
      if (code == kExitDone && !update) code = kExitFailed;
    }
  }
  if (line.Json) {
    document(
        [&](JsonWriter& json) {
          if (!logError.empty()) json.Key("log_error").Text(logError);
          if (info) {
            JsonPackage(json, package);
          } else if (update) {
            JsonUpdate(json, updated, line.Update, package);
          } else {
            json.Key("template").Boolean(IsTemplatePackage(package));
            JsonDrives(json, drives);
          }
        },
        code);
  }
  return code;
}
