#include "platform/windows/DriveMutex.h"

#include "common/Text.h"
#include "platform/windows/WinSystem.h"

const char* const kAnotherCopyReason = "another copy of this program is updating it";

std::string DriveMutexName(const DriveAddress& address, bool global) {
  const std::string drive = address.Letter != ' '
                                ? std::string(1, address.Letter)
                                : Format("%d-%d-%d", address.HaId, address.Target, address.Lun);
  return (global ? "Global\\flashutil-drive-" : "flashutil-drive-") + drive;
}

bool DriveMutexHeldElsewhere(const std::string& name) {
  const HANDLE mutex = System().OpenMutexA(SYNCHRONIZE, FALSE, name.c_str());
  // No such mutex: no copy holds the drive. One this process may not open was
  // made by a copy of another user, which holds the drive or is looking.
  if (mutex == nullptr) return System().GetLastError() == ERROR_ACCESS_DENIED;
  const DWORD waited = System().WaitForSingleObject(mutex, 0);
  if (waited == WAIT_OBJECT_0 || waited == WAIT_ABANDONED) System().ReleaseMutex(mutex);
  System().CloseHandle(mutex);
  return waited == WAIT_TIMEOUT;
}

DriveMutexClaim TakeDriveMutex(const std::string& name) {
  DriveMutexClaim claim;
  const HANDLE mutex = System().CreateMutexA(nullptr, FALSE, name.c_str());
  if (mutex == nullptr) {
    claim.Refused = System().GetLastError() == ERROR_ACCESS_DENIED;
    return claim;
  }
  const DWORD waited = System().WaitForSingleObject(mutex, kDriveMutexWaitMilliseconds);
  if (waited == WAIT_OBJECT_0 || waited == WAIT_ABANDONED) {
    claim.Mutex = mutex;
    return claim;
  }
  System().CloseHandle(mutex);
  claim.Refused = waited == WAIT_TIMEOUT;
  return claim;
}

void GiveBackDriveMutex(HANDLE& mutex) {
  if (mutex == nullptr) return;
  System().ReleaseMutex(mutex);
  System().CloseHandle(mutex);
  mutex = nullptr;
}
