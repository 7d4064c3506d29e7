#include "platform/windows/PassThrough.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "common/Text.h"
#include "platform/windows/DriveMutex.h"
#include "platform/windows/WinSystem.h"

namespace {

HANDLE AsHandle(DeviceHandle handle) {
  return reinterpret_cast<HANDLE>(handle);
}

// The roots "X:\" of the logical drives, each followed by a zero byte, the list
// ended by one more. Read into the 80-byte buffer; a system with more drives
// than fit there is asked again with the size it names. The bytes behind what
// the system wrote stay zero, so a walk over them always ends.
std::vector<char> LogicalDriveRoots() {
  std::vector<char> roots(kRootBufferSize + 4, 0);
  const DWORD needed = System().GetLogicalDriveStringsA(kRootBufferSize, roots.data());
  if (needed > kRootBufferSize) {
    roots.assign(needed + 4, 0);
    const DWORD again = System().GetLogicalDriveStringsA(needed, roots.data());
    if (again == 0 || again > needed) roots.assign(4, 0);
  }
  return roots;
}

// The system refused a lock because another program holds the drive or has
// files open on its volume.
bool HeldByAnother(DWORD error) {
  return error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION;
}

// A request without data that only the system answers; false with its error.
bool Control(HANDLE device, DWORD code, void* in, DWORD inSize, DWORD& error) {
  DWORD returned = 0;
  if (System().DeviceIoControl(device, code, in, inSize, nullptr, 0, &returned, nullptr) != FALSE)
    return true;
  error = System().GetLastError();
  return false;
}

}  // namespace

std::uint8_t PassThroughTransport::Setup(MessageSink&) {
  return dsOk;
}

std::vector<DriveAddress> PassThroughTransport::Enumerate() {
  std::vector<DriveAddress> drives;
  const std::vector<char> roots = LogicalDriveRoots();
  // Every root takes 4 bytes; a root that would reach past the buffer is not one.
  for (std::size_t at = 0; at + 4 <= roots.size() && roots[at] != '\0'; at += 4) {
    if (System().GetDriveTypeA(&roots[at]) == DRIVE_CDROM) {
      DriveAddress address;
      address.Letter = roots[at];
      drives.push_back(address);
    }
  }
  return drives;
}

OpenResult PassThroughTransport::Open(const DriveAddress& address) {
  OpenResult result;
  result.Path = "\\\\.\\?:";
  result.Path[4] = address.Letter;
  // Another copy updates the drive: it is not opened, and no command goes to it.
  if (DriveMutexHeldElsewhere(DriveMutexName(address, true))) {
    result.Error = ERROR_BUSY;
    result.Handle = kNoDevice;
    return result;
  }
  const HANDLE handle = System().CreateFileA(result.Path.c_str(), GENERIC_READ | GENERIC_WRITE,
                                             FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    result.Error = System().GetLastError();
    result.Handle = kNoDevice;
  } else {
    result.Handle = reinterpret_cast<DeviceHandle>(handle);
  }
  return result;
}

void PassThroughTransport::Close(DeviceHandle handle) {
  if (handle != kNoDevice) System().CloseHandle(AsHandle(handle));
}

CommandResult PassThroughTransport::Execute(DeviceHandle handle, const DriveAddress& address,
                                            const CommandRequest& request) {
  // A fresh block for every command: sense bytes that do not come back read 0.
  std::memset(&block_, 0, sizeof block_);
  SCSI_PASS_THROUGH_DIRECT& record = block_.Record;
  record.Length = static_cast<USHORT>(kPassThroughRecordSize);
  record.PathId = address.HaId;
  record.TargetId = address.Target;
  record.Lun = address.Lun;
  record.CdbLength = 12;
  record.SenseInfoLength = kPassThroughSenseLength;
  record.DataIn = request.DataIn ? SCSI_IOCTL_DATA_IN : SCSI_IOCTL_DATA_OUT;
  record.DataTransferLength = request.Length;
  record.TimeOutValue = request.TimeoutSeconds;
  record.DataBuffer = request.Data;
  record.SenseInfoOffset = kPassThroughSenseOffset;
  std::memcpy(record.Cdb, request.Cdb, 12);

  returned_ = 0;
  const BOOL accepted =
      System().DeviceIoControl(AsHandle(handle), IOCTL_SCSI_PASS_THROUGH_DIRECT, &block_,
                               kPassThroughBlockSize, &block_, kPassThroughBlockSize, &returned_, nullptr);
  // What came back, as it came: the judgement is the drive unit's. The system
  // gives back the sense bytes it wrote and the data bytes it moved.
  CommandResult result;
  if (accepted == 0) {
    result.OsError = System().GetLastError();
  } else {
    result.Completed = true;
    result.ScsiStatus = record.ScsiStatus;
  }
  result.Status = record.ScsiStatus;
  result.SetSense(block_.Sense, std::min<std::size_t>(record.SenseInfoLength, kPassThroughSenseLength));
  result.ResidualKnown = accepted != 0 && request.Length > 0;
  if (result.ResidualKnown && record.DataTransferLength < request.Length)
    result.Residual = request.Length - record.DataTransferLength;
  return result;
}

std::string PassThroughTransport::ErrorText(std::uint32_t error) {
  return SystemErrorText(error);
}

std::string PassThroughTransport::AccessAdvice(const DriveAddress& address, std::uint32_t error) {
  if (error != ERROR_SHARING_VIOLATION && error != ERROR_BUSY) return {};
  if (!advised_.insert(address.Letter).second) return {};
  return DriveInUseText(Format("%c:", address.Letter));
}

Transport::Claim PassThroughTransport::ClaimDrive(DeviceHandle& handle, const DriveAddress& address) {
  Claim claim;
  const DriveMutexClaim mutex = TakeDriveMutex(DriveMutexName(address, true));
  if (mutex.Refused) {
    claim.Refused = true;
    claim.Reason = kAnotherCopyReason;
    return claim;
  }
  mutex_ = mutex.Mutex;
  if (handle == kNoDevice) return claim;

  const HANDLE device = AsHandle(handle);
  DWORD error = 0;
  if (Control(device, kLockVolume, nullptr, 0, error)) {
    locked_ = device;
  } else if (HeldByAnother(error)) {
    claim.Refused = true;
  }
  if (!claim.Refused) {
    CdromExclusiveLock lock = {};
    lock.RequestType = kExclusiveLock;
    lock.Flags = kLockIgnoringVolume;
    std::memcpy(lock.CallerName, kExclusiveCallerName, sizeof kExclusiveCallerName);
    if (Control(device, kCdromExclusiveAccess, &lock, sizeof lock, error)) {
      exclusive_ = device;
    } else if (HeldByAnother(error)) {
      claim.Refused = true;
    }
  }
  if (claim.Refused) {
    claim.Reason = SystemReasonText(error);
    ReleaseDrive(handle, address);
  }
  return claim;
}

void PassThroughTransport::ReleaseDrive(DeviceHandle&, const DriveAddress&) {
  DWORD error = 0;
  if (exclusive_ != nullptr) {
    CdromExclusiveLock unlock = {};
    unlock.RequestType = kExclusiveUnlock;
    // (the unlocking request is the first 8 bytes alone)
    Control(exclusive_, kCdromExclusiveAccess, &unlock, 2 * sizeof(ULONG), error);
    exclusive_ = nullptr;
  }
  if (locked_ != nullptr) {
    Control(locked_, kUnlockVolume, nullptr, 0, error);
    locked_ = nullptr;
  }
  GiveBackDriveMutex(mutex_);
}

std::uint32_t PassThroughTransport::DeviceError() const {
  return ERROR_IO_DEVICE;
}
