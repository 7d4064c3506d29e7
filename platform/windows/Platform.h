// What the Windows platform provides to the program.
#pragma once

#include <memory>

#include "common/IniReader.h"
#include "device/Transport.h"

// The drives through pass-through or ASPI, chosen by the system's platform.
std::unique_ptr<Transport> MakeWindowsTransport();
// The model list file read with GetPrivateProfileStringA.
std::unique_ptr<IniReader> MakeIniReader();
