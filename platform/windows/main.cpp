// Entry point on Windows: the native Win32 window; real drives through
// pass-through or ASPI, or simulated drives in the simulated-drive build. The
// command line is read by RunProgram; what its options write goes to the console
// the program was started from, or to a redirected stream, else to a message box.
#include <windows.h>

#include <memory>
#include <sstream>
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

void Deliver(const std::string& text, bool error) {
  if (text.empty()) return;
  std::string lines;
  for (char c : text) {
    if (c == '\n') lines += '\r';
    lines += c;
  }
  // A stream the starter redirected (a file, a pipe, a console handed down) takes it as it is.
  HANDLE handle = GetStdHandle(error ? STD_ERROR_HANDLE : STD_OUTPUT_HANDLE);
  if (handle != nullptr && handle != INVALID_HANDLE_VALUE && GetFileType(handle) != FILE_TYPE_UNKNOWN &&
      WriteAll(handle, lines)) {
    return;
  }
  if (AttachParentConsole()) {
    HANDLE console = CreateFileA("CONOUT$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                 nullptr, OPEN_EXISTING, 0, nullptr);
    if (console != INVALID_HANDLE_VALUE) {
      const bool written = WriteAll(console, lines);
      CloseHandle(console);
      if (written) return;
    }
  }
  MessageBoxA(nullptr, text.c_str(), ApplicationTitle, MB_OK | (error ? MB_ICONERROR : MB_ICONINFORMATION));
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

  std::ostringstream out, err;
  const int code = RunProgram(arguments, platform, out, err);
  Deliver(out.str(), false);
  Deliver(err.str(), true);
  return code;
}
