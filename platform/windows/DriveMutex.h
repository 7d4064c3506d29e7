// One named mutex per drive: the copy of the program that updates the drive owns
// it from the update's first drive command to its refreshed drive line, and no
// other copy sends that drive a command meanwhile. The mutex goes with the
// owner's process: a copy that ends without giving it back leaves it abandoned,
// which the next copy takes as free.
#pragma once

#include <windows.h>

#include <string>

#include "device/Transport.h"

// The reason a claim gives when another copy owns the drive's mutex.
extern const char* const kAnotherCopyReason;

// How long a claim waits for the mutex: another copy that only looks at it
// while it lists its drives owns it for a moment.
constexpr DWORD kDriveMutexWaitMilliseconds = 250;

// "flashutil-drive-D" by the letter, or "flashutil-drive-1-0-0" by the bus
// address when there is no letter. On the NT platform the name lies in the
// global namespace ("Global\" first), where the copies of every session see it;
// Windows 98 and ME know no namespaces and take no backslash in the name.
std::string DriveMutexName(const DriveAddress& address, bool global);

// True when another process owns the mutex now (or it exists and this process
// may not even look at it). This thread's own ownership does not count.
bool DriveMutexHeldElsewhere(const std::string& name);

// Takes the mutex. Refused: another process owns it. Otherwise the mutex now
// owned, or null where the system has none to give (the update goes on
// without).
struct DriveMutexClaim {
  bool Refused = false;
  HANDLE Mutex = nullptr;
};
DriveMutexClaim TakeDriveMutex(const std::string& name);
// Gives an owned mutex back and closes it; the handle becomes null.
void GiveBackDriveMutex(HANDLE& mutex);
