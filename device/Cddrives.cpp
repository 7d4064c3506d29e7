// Placeholder: the drive list is built with the device access work.
#include "device/Cddrives.h"

TCdDrives::TCdDrives() = default;
TCdDrives::~TCdDrives() = default;
bool TCdDrives::Select(std::int16_t) { return false; }
