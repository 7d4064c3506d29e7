// Entry point on Windows: the native Win32 window; real drives through
// pass-through or ASPI, or simulated drives in the simulated-drive build. The
// command line is read by RunProgram; what its options write goes to the console
// the program was started from, or to a redirected stream, else to a message box.
// The update without questions (--update) and --json never open a box: with
// nowhere to write, their output is dropped and the exit status alone tells; the
// update's error stream (its statuses and progress) is written as it comes.
#include <windows.h>

#include <memory>
#include <sstream>
#include <streambuf>
#include <string>
#include <vector>

#include "app/CommandLine.h"
#include "app/FlashForm.h"
#include "device/Cddrive.h"
#include "platform/windows/Platform.h"
#include "platform/windows/WinSystem.h"
#include "toolkit/win32/Win32Toolkit.h"
#ifdef FLASHUTIL_SIMULATED
#include "platform/sim/SimulatedDrives.h"
#endif

namespace {

bool WriteAll(HANDLE handle, const std::string& text) {
  DWORD written = 0;
  for (std::size_t done = 0; done < text.size(); done += written) {
    if (!WriteFile(handle, text.data() + done, static_cast<DWORD>(text.size() - done), &written, nullptr) ||
        written == 0) {
      return false;
    }
  }
  return true;
}

// The console of the process that started this one. AttachConsole came with
// Windows XP: looked up at run time, so the program still loads on older systems.
bool AttachParentConsole() {
  using AttachConsoleFunction = BOOL(WINAPI*)(DWORD);
  static const bool attached = [] {
    HMODULE kernel = GetModuleHandleA("kernel32.dll");
    if (kernel == nullptr) return false;
    const auto attach = reinterpret_cast<AttachConsoleFunction>(
        reinterpret_cast<void*>(GetProcAddress(kernel, "AttachConsole")));
    return attach != nullptr && attach(static_cast<DWORD>(-1)) != FALSE;  // ATTACH_PARENT_PROCESS
  }();
  return attached;
}

// Writes the text to the stream the starter gave or to its console; false when
// neither takes it.
bool Written(const std::string& text, bool error) {
  std::string lines;
  for (char c : text) {
    if (c == '\n') lines += '\r';
    lines += c;
  }
  // A stream the starter redirected (a file, a pipe, a console handed down) takes it as it is.
  HANDLE handle = GetStdHandle(error ? STD_ERROR_HANDLE : STD_OUTPUT_HANDLE);
  if (handle != nullptr && handle != INVALID_HANDLE_VALUE && GetFileType(handle) != FILE_TYPE_UNKNOWN &&
      WriteAll(handle, lines)) {
    return true;
  }
  if (AttachParentConsole()) {
    HANDLE console = CreateFileA("CONOUT$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                 nullptr, OPEN_EXISTING, 0, nullptr);
    if (console != INVALID_HANDLE_VALUE) {
      const bool written = WriteAll(console, lines);
      CloseHandle(console);
      if (written) return true;
    }
  }
  return false;
}

void Deliver(const std::string& text, bool error, bool unattended) {
  if (text.empty() || Written(text, error) || unattended) return;
  MessageBoxA(nullptr, text.c_str(), ApplicationTitle, MB_OK | (error ? MB_ICONERROR : MB_ICONINFORMATION));
}

// The error stream of the update without questions: each flush is written at once.
class LiveErrors : public std::stringbuf {
 protected:
  int sync() override {
    if (!str().empty()) Written(str(), true);
    str(std::string());
    return 0;
  }
};

// During the update a Ctrl-C or Ctrl-Break on the console is taken and said once:
// the update finishes, and nothing ends it halfway.
BOOL WINAPI HoldInterrupts(DWORD event) {
  if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT) return FALSE;
  static LONG said = 0;
  if (InterlockedExchange(&said, 1) == 0) {
    Written("\nFlash is in progress: it cannot be interrupted. The program ends when it is done.\n", true);
  }
  return TRUE;
}

// The program's name as the usage texts show it: the file name it was started
// with.
std::string NameOf(const std::string& path) {
  const std::size_t slash = path.find_last_of("\\/:");
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace

int main(int argc, char** argv) {
  HardenDllSearch(System());  // before anything can load a DLL by name
  Win32Toolkit ui;
  const std::vector<std::string> arguments(argv + (argc > 0 ? 1 : 0), argv + argc);

  ProgramPlatform platform;
  platform.Package = &EmbeddedPackage();
  platform.ProgramFile = ui.ProgramFilePath();
  platform.ProgramName = NameOf(ui.ProgramStartedPath());
  platform.LogLineEnd = "\r\n";  // the transcript reads as a text file in Notepad
  platform.IniReaders = [] { return MakeIniReader(); };
  platform.MakeTransport = [&platform]() -> std::shared_ptr<Transport> {
#ifdef FLASHUTIL_SIMULATED
    std::string error;
    std::unique_ptr<Transport> transport =
        MakeProgramSimulatedDrives(platform.ProgramFile, platform.IniReaders, error);
    if (transport == nullptr) MessageBoxA(nullptr, error.c_str(), ApplicationTitle, MB_OK | MB_ICONERROR);
    return transport;
#else
    return MakeWindowsTransport();
#endif
  };
  platform.MakeSystemGuard = [] { return MakeWindowsSystemGuard(); };
  platform.RunFace = [&ui](bool, const std::function<int(Toolkit&)>& run) { return run(ui); };
  platform.Unattended.HoldWork = [] { SetConsoleCtrlHandler(HoldInterrupts, TRUE); };
  platform.Unattended.ReleaseWork = [] { SetConsoleCtrlHandler(HoldInterrupts, FALSE); };
  platform.Unattended.Sleep = [](unsigned milliseconds) { ::Sleep(milliseconds); };
  HANDLE errors = GetStdHandle(STD_ERROR_HANDLE);
  platform.Unattended.ErrIsTerminal =
      errors != nullptr && errors != INVALID_HANDLE_VALUE && GetFileType(errors) == FILE_TYPE_CHAR;
  platform.Unattended.StartedPath = ui.ProgramStartedPath();
  platform.Unattended.UpperCase = [&ui](const std::string& text) { return ui.UpperCase(text); };

  const CommandLine line = ParseCommandLine(arguments, false);
  const bool unattended = line.What == CommandLine::Action::Update || line.Json;
  LiveErrors live;
  std::ostringstream out, collected;
  std::ostream liveErr(&live);
  const int code = RunProgram(arguments, platform, out, unattended ? liveErr : collected);
  liveErr.flush();
  Deliver(out.str(), false, unattended);
  Deliver(collected.str(), true, unattended);
  return code;
}
