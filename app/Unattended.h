// The update without questions (--update), for fleet tools and scripts: the
// window's own update on the same TFlashForm (the same eligibility check, the
// same commands in the same order, the same read-back before the commit, the
// same spell of work), its questions answered by the command line instead of a
// person. Without --yes it is a dry run that sends nothing but INQUIRY.
#pragma once

#include <functional>
#include <iosfwd>
#include <memory>
#include <string>
#include <vector>

#include "app/FlashPackage.h"
#include "app/Toolkit.h"
#include "common/IniReader.h"

class TCdDrive;

// A drive as --list and the reports show it.
struct DriveFacts {
  std::string Line;  // "0-0-0 D: QVXR    CRW-5224A       1000", as the window lists it
  std::string Address;
  std::string Letter;  // "D", or empty
  std::string Node;    // the device node, or empty
  std::string Vendor, Product, Revision;
  bool Admitted = false;  // this flash program updates it
};
DriveFacts FactsOf(const TCdDrive& drive, bool admitted);
// The drives as --list shows them, "*" before those this flash program updates,
// and the line that explains the mark ("No drive found." when there are none).
std::string DriveListText(const std::vector<DriveFacts>& drives, bool templateMode);

struct UnattendedOptions {
  std::string Drive;  // --drive: a drive's line, address, letter or node; empty: the one admitted
  bool Yes = false;   // update; without it a dry run
  bool Force = false;
};

// What the platform lends the update where no window holds the work.
struct UnattendedHost {
  // Around the update's commands: what keeps a signal or a closed terminal from
  // ending it (empty: nothing is held).
  std::function<void()> HoldWork, ReleaseWork;
  // Runs one drive command during the work (empty: on this thread).
  std::function<void(void (*)(void*), void*)> RunHeld;
  // Upper case by the system's rules, as the window has it (empty: ASCII letters).
  std::function<std::string(const std::string&)> UpperCase;
  // The readiness poll's wait (empty: none).
  std::function<void(unsigned)> Sleep;
  // The error stream is a terminal: the progress bar is drawn in place;
  // otherwise a line at each quarter.
  bool ErrIsTerminal = false;
  std::string ProgramFile, StartedPath;
};

struct UnattendedResult {
  enum class Outcome { DryRun, Updated, Current, Refused, Failed };
  Outcome What = Outcome::Refused;
  std::vector<DriveFacts> Drives;  // every drive found
  int Chosen = -1;                 // the drive the update took, in Drives
  std::string RevisionBefore, RevisionAfter, NewRevision;
  std::string Reason;  // Refused and Failed: what the program said
  std::string Step;    // Failed: the stage
  std::string Sense;   // Failed: the drive's sense, when a command failed
  double Seconds = 0;
};

// Runs the update on the installed transport; warnings, statuses, errors and the
// progress go to err. wrap, when given, wraps the toolkit the form uses (the
// session log's transcript).
UnattendedResult RunUnattendedUpdate(const UnattendedOptions& options, const FlashPackage& package,
                                     IniReaderFactory iniReaders, const UnattendedHost& host,
                                     std::ostream& err,
                                     const std::function<std::unique_ptr<Toolkit>(Toolkit&)>& wrap = nullptr);

// The outcome's word in the reports: "dry run", "updated", "already current",
// "refused", "failed".
const char* OutcomeName(UnattendedResult::Outcome outcome);
