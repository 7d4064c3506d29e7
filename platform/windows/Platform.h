// What the Windows platform provides to the program.
#pragma once

#include <memory>

#include "app/SystemGuard.h"
#include "common/IniReader.h"
#include "device/Transport.h"

// The drives through pass-through or ASPI, chosen by the system's platform.
std::unique_ptr<Transport> MakeWindowsTransport();
// GetSystemPowerStatus, and the machine kept awake during an update
// (SetThreadExecutionState); the window refuses the session's end itself.
std::unique_ptr<SystemGuard> MakeWindowsSystemGuard();
// The model list file read with GetPrivateProfileStringA.
std::unique_ptr<IniReader> MakeIniReader();
