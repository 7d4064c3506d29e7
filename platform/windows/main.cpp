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

// The update without questions has no window, yet while it works the session's
// end and a suspend are refused as the window refuses them: a hidden window on a
// thread of its own answers the system (the update's thread waits in its drive
// commands) and names the reason on the shutdown screen of Vista and later. On
// the console, Ctrl-C and Ctrl-Break are taken and said once; a closed console, a
// log-off or a shut-down waits for the work's end as long as the system lets it.
class WorkHold {
 public:
  static constexpr char kWindowClass[] = "FlashUtilityWork";

  void Begin() {
    ended_ = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    ready_ = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    DWORD id = 0;
    thread_ = CreateThread(nullptr, 0, &WorkHold::Run, this, 0, &id);
    if (thread_ != nullptr && ready_ != nullptr) WaitForSingleObject(ready_, 10000);
    held_ = this;
    SetConsoleCtrlHandler(&WorkHold::Console, TRUE);
  }

  void End() {
    SetConsoleCtrlHandler(&WorkHold::Console, FALSE);
    if (ended_ != nullptr) SetEvent(ended_);
    if (window_ != nullptr) PostMessageA(window_, WM_CLOSE, 0, 0);
    if (thread_ != nullptr) {
      WaitForSingleObject(thread_, 10000);
      CloseHandle(thread_);
    }
    for (HANDLE event : {ready_, ended_}) {
      if (event != nullptr) CloseHandle(event);
    }
    thread_ = ready_ = ended_ = nullptr;
    window_ = nullptr;
  }

 private:
  static DWORD WINAPI Run(LPVOID parameter) {
    auto* self = static_cast<WorkHold*>(parameter);
    WNDCLASSEXA windowClass = {};
    windowClass.cbSize = sizeof windowClass;
    windowClass.lpfnWndProc = &WorkHold::Procedure;
    windowClass.hInstance = GetModuleHandleA(nullptr);
    windowClass.lpszClassName = kWindowClass;
    RegisterClassExA(&windowClass);  // a second update finds it registered
    HWND window = CreateWindowExA(0, kWindowClass, ApplicationTitle, WS_OVERLAPPED, 0, 0, 0, 0, nullptr,
                                  nullptr, windowClass.hInstance, nullptr);
    if (window != nullptr)
      System().ShutdownBlockReasonCreate(window, L"Firmware update in progress, do not turn off");
    self->window_ = window;
    SetEvent(self->ready_);
    MSG message;
    while (window != nullptr && GetMessageA(&message, nullptr, 0, 0) > 0) DispatchMessageA(&message);
    return 0;
  }

  static LRESULT CALLBACK Procedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
      case WM_QUERYENDSESSION:
        return FALSE;  // a shut-down or log-off in the middle of an update would ruin the drive
      case WM_POWERBROADCAST:
        return wParam == PBT_APMQUERYSUSPEND ? BROADCAST_QUERY_DENY : TRUE;
      case WM_CLOSE:
        System().ShutdownBlockReasonDestroy(window);
        DestroyWindow(window);
        return 0;
      case WM_DESTROY:
        PostQuitMessage(0);
        return 0;
      default:
        return DefWindowProcA(window, message, wParam, lParam);
    }
  }

  static BOOL WINAPI Console(DWORD event) {
    WorkHold* hold = held_;
    if (hold == nullptr) return FALSE;
    static LONG said = 0;
    if (InterlockedExchange(&said, 1) == 0) {
      Written("\nFlash is in progress: it cannot be interrupted. The program ends when it is done.\n", true);
    }
    if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT && hold->ended_ != nullptr) {
      WaitForSingleObject(hold->ended_, INFINITE);  // the system ends the process once this returns
    }
    return TRUE;
  }

  static WorkHold* volatile held_;
  HANDLE thread_ = nullptr, ready_ = nullptr, ended_ = nullptr;
  HWND volatile window_ = nullptr;
};
WorkHold* volatile WorkHold::held_ = nullptr;

// Whether the command line asks for the update without questions or for JSON:
// its output then never waits in a message box, even when the line is refused.
bool Unattended(const std::vector<std::string>& arguments) {
  for (const std::string& argument : arguments) {
    if (argument == "--update" || argument == "--json") return true;
  }
  return false;
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
  const bool unattended = Unattended(arguments);

  ProgramPlatform platform;
  platform.Package = &EmbeddedPackage();
  platform.ProgramFile = ui.ProgramFilePath();
  platform.ProgramName = NameOf(ui.ProgramStartedPath());
  platform.LogLineEnd = "\r\n";  // the transcript reads as a text file in Notepad
  platform.IniReaders = [] { return MakeIniReader(); };
  platform.MakeTransport = [&platform, unattended]() -> std::shared_ptr<Transport> {
#ifdef FLASHUTIL_SIMULATED
    std::string error;
    std::unique_ptr<Transport> transport =
        MakeProgramSimulatedDrives(platform.ProgramFile, platform.IniReaders, error);
    if (transport != nullptr) return transport;
    if (unattended) {
      Written(error + "\n", true);
    } else {
      MessageBoxA(nullptr, error.c_str(), ApplicationTitle, MB_OK | MB_ICONERROR);
    }
    return transport;
#else
    (void)unattended;
    return MakeWindowsTransport();
#endif
  };
  platform.MakeSystemGuard = [] { return MakeWindowsSystemGuard(); };
  platform.RunFace = [&ui](bool, const std::function<int(Toolkit&)>& run) { return run(ui); };
  WorkHold hold;
  platform.Unattended.HoldWork = [&hold] { hold.Begin(); };
  platform.Unattended.ReleaseWork = [&hold] { hold.End(); };
  platform.Unattended.Sleep = [](unsigned milliseconds) { ::Sleep(milliseconds); };
  HANDLE errors = GetStdHandle(STD_ERROR_HANDLE);
  platform.Unattended.ErrIsTerminal =
      errors != nullptr && errors != INVALID_HANDLE_VALUE && GetFileType(errors) == FILE_TYPE_CHAR;
  platform.Unattended.StartedPath = ui.ProgramStartedPath();
  platform.Unattended.UpperCase = [&ui](const std::string& text) { return ui.UpperCase(text); };

  LiveErrors live;
  std::ostringstream out, collected;
  std::ostream liveErr(&live);
  const int code = RunProgram(arguments, platform, out, unattended ? liveErr : collected);
  liveErr.flush();
  Deliver(out.str(), false, unattended);
  Deliver(collected.str(), true, unattended);
  return code;
}
