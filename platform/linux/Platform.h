// What the Linux platform provides to the program.
#pragma once

#include <memory>

#include "common/IniReader.h"
#include "device/Transport.h"

// Optical drives through the SCSI generic driver (SG_IO).
std::unique_ptr<Transport> MakeSgIoTransport();
// The model list file read with inih.
std::unique_ptr<IniReader> MakeIniReader();
