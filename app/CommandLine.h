// The command line, the same on every platform: the options that need no window
// (--help, --version, --info, --list), the update without questions (--update,
// --drive, --yes, --force), JSON output (--json), the session log (--log FILE)
// and the choice of the terminal face (--terminal). Without options the program
// runs its window exactly as it would without this layer.
#pragma once

#include <functional>
#include <iosfwd>
#include <memory>
#include <string>
#include <vector>

#include "app/FlashPackage.h"
#include "app/SystemGuard.h"
#include "app/Toolkit.h"
#include "app/Unattended.h"
#include "common/IniReader.h"
#include "device/Transport.h"

struct CommandLine {
  enum class Action { Run, Help, Version, Info, List, Update, Refuse };
  Action What = Action::Run;
  bool Terminal = false;
  bool Json = false;
  UnattendedOptions Update;
  std::string LogFile;  // empty: no log
  std::string Error;    // Refuse: what was wrong
};

// The version of the --json documents' schema: a script may rely on every member
// a version has; a new member keeps the version, a changed or removed one does not.
constexpr int kJsonSchema = 1;

// The exit statuses, the same on every system; --help lists them.
enum ExitStatus : int {
  kExitDone = 0,     // updated, or the option's output given, or the window closed
  kExitFailed = 1,   // the update failed; the log or --info's package failed
  kExitUsage = 2,    // a command line the program refuses
  kExitCurrent = 3,  // nothing to do: the drive already has the image's revision
  kExitRefused = 4,  // refused before any drive command
};

// arguments: the program's arguments after its name. terminalFace: the platform
// has a terminal face, so --terminal means something.
CommandLine ParseCommandLine(const std::vector<std::string>& arguments, bool terminalFace);

// What the program needs of its platform to act on a command line.
struct ProgramPlatform {
  const FlashPackage* Package = nullptr;
  std::string ProgramFile;         // the program's own file; empty when it cannot be found
  std::string ProgramFileProblem;  // then why not
  std::string ProgramName;         // as the user started it, for the usage texts
  bool TerminalFace = false;
  std::string LogLineEnd = "\n";  // what ends each line of the session log
  IniReaderFactory IniReaders;
  // The drives' transport (shared: a test looks at its drives afterwards); null
  // when it cannot be had, the reason already shown.
  std::function<std::shared_ptr<Transport>()> MakeTransport;
  // The system around an update (power, sleep and shutdown); none: nothing is
  // read or held.
  std::function<std::unique_ptr<SystemGuard>()> MakeSystemGuard;
  // What the update without questions needs of the platform (the program's
  // file and started path are taken from the fields above).
  UnattendedHost Unattended;
  // Runs the program's window (the terminal face when terminal is true) on the
  // toolkit it chooses: calls run with that toolkit and returns what run returns.
  std::function<int(bool terminal, const std::function<int(Toolkit&)>& run)> RunFace;
};

// The whole program after its platform's set-up: acts on the arguments, writes
// the options' output to out and their complaints to err, and returns the exit
// status (2 for a command line it refuses).
int RunProgram(const std::vector<std::string>& arguments, const ProgramPlatform& platform, std::ostream& out,
               std::ostream& err);

// What --info shows of a package, one "Name: value" line each, and a "Damaged:"
// line for each part of a flash program that no build would have written.
std::string PackageInfo(const FlashPackage& package);
// The version the program reports, "1.050".
const char* ProgramVersion();
