// Entry point on Linux: the Qt window when a display can be opened, the terminal
// face otherwise; real drives through SG_IO, or simulated drives in the
// simulated-drive build. The program takes no command-line options.
#include <unistd.h>

#include <clocale>
#include <filesystem>
#include <iostream>
#include <memory>
#include <string>
#include <system_error>

#include "app/FlashForm.h"
#include "app/FlashPackage.h"
#include "device/Cddrive.h"
#include "platform/linux/Platform.h"
#if defined(FLASHUTIL_SIMULATED)
#include "platform/sim/SimulatedDrives.h"
#endif
#if defined(FLASHUTIL_HAVE_QT)
#include "toolkit/qt/QtDisplay.h"
#include "toolkit/qt/QtToolkit.h"
#endif
#if defined(FLASHUTIL_HAVE_TERMINAL)
#include "toolkit/terminal/TerminalToolkit.h"
#endif

namespace {

// The file the program runs from: the one the builder copies.
std::string RunningProgramFile() {
  std::error_code error;
  const std::filesystem::path file = std::filesystem::read_symlink("/proc/self/exe", error);
  return error ? std::string() : file.string();
}

int RunOnAFace(char* argv0, const IniReaderFactory& iniReaders) {
#if defined(FLASHUTIL_HAVE_QT)
  if (std::unique_ptr<QtToolkit> window = OpenQtToolkit(argv0)) {
    return RunApplication(*window, EmbeddedPackage(), iniReaders);
  }
#endif
#if defined(FLASHUTIL_HAVE_TERMINAL)
  TerminalToolkit terminal(std::cin, std::cout, isatty(STDOUT_FILENO) != 0, RunningProgramFile(), argv0);
  return RunApplication(terminal, EmbeddedPackage(), iniReaders);
#else
  (void)argv0;
  (void)iniReaders;
  std::cerr
      << "No display can be opened (DISPLAY and WAYLAND_DISPLAY), and this build has no terminal face.\n";
  return 1;
#endif
}

}  // namespace

int main(int argc, char** argv) {
  // Texts are upper-cased by the user's locale, whichever face shows them.
  std::setlocale(LC_CTYPE, "");
  static char unnamed[] = "flashutil";
  char* argv0 = argc > 0 && argv[0] != nullptr ? argv[0] : unnamed;
  const IniReaderFactory iniReaders = [] { return MakeIniReader(); };
#if defined(FLASHUTIL_SIMULATED)
  std::unique_ptr<Transport> transport = MakeProgramSimulatedDrives(RunningProgramFile(), iniReaders);
  if (transport == nullptr) return 1;  // the reason is on the standard error stream
#else
  std::unique_ptr<Transport> transport = MakeSgIoTransport();
#endif
  Cddrive::InstallTransport(transport.get());
  const int exitCode = RunOnAFace(argv0, iniReaders);
  Cddrive::InstallTransport(nullptr);
  return exitCode;
}
