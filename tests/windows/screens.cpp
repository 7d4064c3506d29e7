// Shows the Windows window in one state for a screenshot, then waits:
//
//   flashutil_screens builder DIR   the template's window: the model list DIR\FLASH.INI,
//                                   the firmware files of DIR
//   flashutil_screens flasher DIR   a flash program's window after Yes, on the
//                                   built-in simulated drives
//   flashutil_screens warning DIR   a flash program's start-up warning
//
// Once the window is up it writes DIR\ready; when DIR\done appears it answers
// the warning No, closes the window and ends.
#include <windows.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>

#include "app/FlashForm.h"
#include "device/Cddrive.h"
#include "platform/sim/SimulatedDrives.h"
#include "platform/windows/Platform.h"
#include "tests/Support.h"
#include "toolkit/win32/Win32Toolkit.h"

namespace fs = std::filesystem;

namespace {

class ScreenToolkit : public Win32Toolkit {
 public:
  std::string ProgramPath;
  bool AnswerYes = false;

  std::string ProgramFilePath() const override {
    return ProgramPath.empty() ? Win32Toolkit::ProgramFilePath() : ProgramPath;
  }
  DialogResult MessageDialog(const std::string& text, DialogKind kind) override {
    if (AnswerYes && kind == DialogKind::Warning) return DialogResult::Yes;
    return Win32Toolkit::MessageDialog(text, kind);
  }
};

void Watch(fs::path dir) {
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));  // time to paint
  std::ofstream(dir / "ready") << "ready\n";
  for (int i = 0; i < 600 && !fs::exists(dir / "done"); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  if (const HWND warning = FindWindowA("#32770", "Warning")) PostMessageA(warning, WM_COMMAND, IDNO, 0);
  if (const HWND window = FindWindowA(Win32Toolkit::kWindowClass, nullptr))
    PostMessageA(window, WM_CLOSE, 0, 0);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) return 2;
  const std::string mode = argv[1];
  const fs::path dir = argv[2];
  ScreenToolkit ui;
  std::unique_ptr<FlashPackage> flasher;
  const FlashPackage* package = &EmbeddedPackage();  // a template
  if (mode == "builder") {
    ui.ProgramPath = (dir / "FLASH.EXE").string();
    SetCurrentDirectoryA(dir.string().c_str());
  } else {
    flasher = MakeFlasherPackage();
    package = flasher.get();
    ui.AnswerYes = mode == "flasher";
  }
  std::unique_ptr<SimulatedTransport> drives = MakeDefaultSimulatedDrives();
  Cddrive::InstallTransport(drives.get());
  std::thread(Watch, dir).detach();
  return RunApplication(ui, *package, [] { return MakeIniReader(); });
}
