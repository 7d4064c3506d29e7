// What the Linux platform provides to the program.
#pragma once

#include <cstddef>
#include <memory>
#include <string>

#include "app/SystemGuard.h"
#include "common/IniReader.h"
#include "device/Transport.h"

// The file the program runs from, the one the builder copies: where self (the
// process's link to it) leads; without it, the name the program was started by
// (started: argv[0]), made absolute and free of links, looked for along PATH when
// it holds no slash. Empty when none is found, with the reason in problem.
std::string ProgramOwnFile(const std::string& started, std::string& problem,
                           const std::string& self = "/proc/self/exe");

// Optical drives through the SCSI generic driver (SG_IO).
std::unique_ptr<Transport> MakeSgIoTransport();
// The power supplies under /sys/class/power_supply (root: another tree of the
// same form), and logind's inhibitor held during an update in the name of who
// (the program's name); what cannot be had is said on the standard error stream.
std::unique_ptr<SystemGuard> MakeLinuxSystemGuard(const std::string& who);
PowerReading ReadLinuxPower(const std::string& root = "/sys/class/power_supply");
// The model list file read with inih.
std::unique_ptr<IniReader> MakeIniReader();

// The whole text of a small regular file, or false with the error (EINVAL for
// what is not a regular file, EFBIG for more than limit bytes). Never blocks.
bool ReadSmallFile(const std::string& path, std::size_t limit, std::string& text, int& error);
// Replaces a small file's text (a sysfs attribute); false with the error.
bool WriteSmallFile(const std::string& path, const std::string& text, int& error);
