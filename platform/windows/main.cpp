// Entry point on Windows: the native Win32 window; real drives through
// pass-through or ASPI, or simulated drives in the simulated-drive build.
#include <windows.h>

#include <memory>
#include <string>

#include "app/FlashForm.h"
#include "device/Cddrive.h"
#include "platform/windows/Platform.h"
#include "toolkit/win32/Win32Toolkit.h"
#ifdef FLASHUTIL_SIMULATED
#include "platform/sim/SimulatedDrives.h"
#endif

int main() {
  Win32Toolkit ui;
#ifdef FLASHUTIL_SIMULATED
  std::string error;
  std::unique_ptr<Transport> transport =
      MakeProgramSimulatedDrives(ui.ProgramFilePath(), MakeIniReader, error);
  if (transport == nullptr) {
    MessageBoxA(nullptr, error.c_str(), ApplicationTitle, MB_OK | MB_ICONERROR);
    return 1;
  }
#else
  std::unique_ptr<Transport> transport = MakeWindowsTransport();
#endif
  Cddrive::InstallTransport(transport.get());
  const int code = RunApplication(ui, EmbeddedPackage(), [] { return MakeIniReader(); });
  Cddrive::InstallTransport(nullptr);
  return code;
}
