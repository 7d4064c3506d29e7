// Shows the Windows window in one state for a screenshot, then waits:
//
//   flashutil_screens builder DIR   the template's window: the model list DIR\FLASH.INI,
//                                   the firmware files of DIR
//   flashutil_screens flasher DIR   a flash program's window after Yes, on the
//                                   built-in simulated drives
//   flashutil_screens warning DIR   a flash program's start-up warning
//   flashutil_screens update DIR    a flash program's window during the commit
//                                   of an update on a slow simulated drive
//   flashutil_screens readfail DIR  the same after a failed read-back compare
//
// Once the window is up it writes DIR\ready; when DIR\done appears it answers
// the warning No, closes the window (after the update) and ends.
#include <windows.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>  // this_thread::sleep_for
#include <vector>

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
  bool Updates = false;

  std::string ProgramFilePath() const override {
    return ProgramPath.empty() ? Win32Toolkit::ProgramFilePath() : ProgramPath;
  }
  DialogResult MessageDialog(const std::string& text, DialogKind kind) override {
    if (AnswerYes && kind == DialogKind::Warning) return DialogResult::Yes;
    if (Updates && kind == DialogKind::Confirmation) return DialogResult::Yes;
    return Win32Toolkit::MessageDialog(text, kind);
  }
  void ShowMessage(const std::string& text) override {
    if (!Updates) Win32Toolkit::ShowMessage(text);  // the box would hide the caption
  }
};

std::string GroupCaptionOf(HWND window) {
  char text[256] = {};
  GetWindowTextA(GetDlgItem(window, Win32Toolkit::kGroupId), text, sizeof text);
  return text;
}

// Waits until the group box's caption holds the text.
void AwaitCaption(HWND window, const char* text) {
  for (int i = 0; i < 600 && GroupCaptionOf(window).find(text) == std::string::npos; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
}

void Watch(fs::path dir, std::string mode) {
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));  // time to paint
  const HWND window = FindWindowA(Win32Toolkit::kWindowClass, nullptr);
  const bool updates = mode == "update" || mode == "readfail";
  if (updates && window != nullptr) {
    const HWND button = GetDlgItem(GetDlgItem(window, Win32Toolkit::kGroupId), Win32Toolkit::kButtonId);
    PostMessageA(button, BM_CLICK, 0, 0);
    AwaitCaption(window, mode == "update" ? "Flash is in progress" : "Fail");
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
  }
  std::ofstream(dir / "ready") << "ready\n";
  for (int i = 0; i < 600 && !fs::exists(dir / "done"); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  if (const HWND warning = FindWindowA("#32770", "Warning")) PostMessageA(warning, WM_COMMAND, IDNO, 0);
  if (window != nullptr && mode == "update") AwaitCaption(window, "Flash Completed.");
  if (window != nullptr) PostMessageA(window, WM_CLOSE, 0, 0);
}

struct Watcher {
  fs::path Dir;
  std::string Mode;
};

DWORD WINAPI WatchThread(void* context) {
  const std::unique_ptr<Watcher> watcher(static_cast<Watcher*>(context));
  Watch(watcher->Dir, watcher->Mode);
  return 0;
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
    ui.Updates = mode == "update" || mode == "readfail";
    ui.AnswerYes = mode == "flasher" || ui.Updates;
  }
  std::unique_ptr<SimulatedTransport> drives = MakeDefaultSimulatedDrives();
  std::vector<SimFault>& faults = drives->Drive(0).Config().Faults;
  if (mode == "update") {
    // A slow drive: each image chunk takes a moment, the commit several seconds.
    faults.push_back({.What = SimFault::Kind::Delay, .Opcode = 0x3B, .Control = 0x00, .Milliseconds = 200});
    faults.push_back({.What = SimFault::Kind::Delay, .Opcode = 0x3B, .Control = 0x80, .Milliseconds = 8000});
  } else if (mode == "readfail") {
    faults.push_back({.What = SimFault::Kind::FlipReadBit, .Opcode = 0x3C});
  }
  Cddrive::InstallTransport(drives.get());
  // The runtime has no std::thread: the watcher runs on a thread of the system's.
  const HANDLE watcher = CreateThread(nullptr, 0, WatchThread, new Watcher{dir, mode}, 0, nullptr);
  if (watcher != nullptr) CloseHandle(watcher);
  return RunApplication(ui, *package, [] { return MakeIniReader(); });
}
