// Entry point on Linux: the Qt window when a display can be opened, the terminal
// face otherwise; real drives through SG_IO, or simulated drives in the
// simulated-drive build. The command line is read by RunProgram. The Qt face is a
// shared object carried in the program file and loaded only when a window may
// open, so the program starts where Qt 6 is missing.
#include <unistd.h>

#include <chrono>
#include <clocale>
#include <cstddef>
#include <filesystem>
#include <functional>
#include <iostream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "app/CommandLine.h"
#include "app/FlashForm.h"
#include "app/FlashPackage.h"
#include "common/System.h"
#include "common/Text.h"
#include "device/Cddrive.h"
#include "platform/linux/Platform.h"
#include "platform/linux/WorkSignals.h"
#if defined(FLASHUTIL_SIMULATED)
#include "platform/sim/SimulatedDrives.h"
#endif
#if defined(FLASHUTIL_HAVE_QT)
#include "platform/linux/QtFaceLoader.h"

// The bytes of flashutil-qt.so, placed in the program file at its build.
extern "C" const unsigned char flashutil_qt_face[];
extern "C" const unsigned char flashutil_qt_face_end[];
#endif
#if defined(FLASHUTIL_HAVE_TERMINAL)
#include "toolkit/terminal/TerminalToolkit.h"
#endif

namespace {

int RunOnAFace(char* argv0, const std::string& programFile, bool terminal,
               const std::function<int(Toolkit&)>& run) {
#if defined(FLASHUTIL_HAVE_QT)
  if (!terminal && WindowMayOpen()) {
    std::string error;
    const auto size = static_cast<std::size_t>(flashutil_qt_face_end - flashutil_qt_face);
    if (FlashutilQtRun* window = LoadQtFace(flashutil_qt_face, size, error)) {
      int exitCode = 0;
      std::string why;
      if (window(argv0, &run, &exitCode, &why) != 0) return exitCode;
      std::cerr << "The window cannot open (" << EscapedText(why) << "); the terminal face runs instead.\n";
    } else {
      std::cerr << "The window needs Qt 6 Widgets, which cannot be loaded here (" << error
                << "); the terminal face runs instead.\n";
    }
  }
#else
  (void)terminal;
#endif
#if defined(FLASHUTIL_HAVE_TERMINAL)
  TerminalToolkit face(std::cin, std::cout, isatty(STDOUT_FILENO) != 0, programFile, argv0);
  return run(face);
#else
  (void)argv0;
  (void)programFile;
  (void)run;
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
  const std::vector<std::string> arguments(argv + (argc > 0 ? 1 : 0), argv + argc);

  ProgramPlatform platform;
  platform.Package = &EmbeddedPackage();
  platform.ProgramFile = ProgramOwnFile(argv0, platform.ProgramFileProblem);
  platform.ProgramName = std::filesystem::path(argv0).filename().string();
#if defined(FLASHUTIL_HAVE_TERMINAL)
  platform.TerminalFace = true;
#endif
  platform.IniReaders = [] { return MakeIniReader(); };
#if defined(FLASHUTIL_SIMULATED)
  platform.MakeTransport = [&platform]() -> std::shared_ptr<Transport> {
    // Null with the reason on the standard error stream.
    return MakeProgramSimulatedDrives(platform.ProgramFile, platform.IniReaders);
  };
#else
  platform.MakeTransport = []() -> std::shared_ptr<Transport> { return MakeSgIoTransport(); };
#endif
  platform.MakeSystemGuard = [&platform] { return MakeLinuxSystemGuard(platform.ProgramName); };
  // The update without questions holds its work as the terminal face does.
  platform.Unattended.HoldWork = [] { HoldWorkSignals(HeldWork::Update); };
  platform.Unattended.ReleaseWork = [] { ReleaseWorkSignals(); };
  platform.Unattended.RunHeld = [](void (*step)(void*), void* context) {
    RunWithWorkSignalsBlocked(step, context);
  };
  platform.Unattended.Sleep = [](unsigned milliseconds) {
    std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
  };
  platform.Unattended.ErrIsTerminal = isatty(STDERR_FILENO) != 0;
  platform.Unattended.UpperCase = [](const std::string& text) { return LocaleUpperCase(text); };
  platform.Unattended.StartedPath = argv0;
  platform.RunFace = [argv0, &platform](bool terminal, const std::function<int(Toolkit&)>& run) {
    return RunOnAFace(argv0, platform.ProgramFile, terminal, run);
  };
  return RunProgram(arguments, platform, std::cout, std::cerr);
}
