// The pass-through transport of the NT platform: a drive is opened by its letter
// as "\\.\X:" and every command goes to the system as one
// SCSI_PASS_THROUGH_DIRECT request through DeviceIoControl.
#pragma once

#include <windows.h>
// windows.h first: ntddscsi.h builds on its types.
#include <ntddscsi.h>

#include <cstddef>
#include <set>

#include "device/Transport.h"

static_assert(IOCTL_SCSI_PASS_THROUGH_DIRECT == 0x4D014);

// The block handed to DeviceIoControl for both input and output: the request
// record, a filler, and the sense buffer the record points at.
struct PassThroughBlock {
  SCSI_PASS_THROUGH_DIRECT Record;
  ULONG Filler;
  UCHAR Sense[32];
};

constexpr UCHAR kPassThroughSenseLength = 24;
constexpr ULONG kPassThroughRecordSize = sizeof(SCSI_PASS_THROUGH_DIRECT);
constexpr ULONG kPassThroughSenseOffset = offsetof(PassThroughBlock, Sense);
constexpr DWORD kPassThroughBlockSize = sizeof(PassThroughBlock);

#ifndef _WIN64
// The 32-bit layout: a 44-byte record, 4 filler bytes, the sense buffer at 48,
// 80 bytes in all. The 64-bit system lays the record out with its own pointer
// size (56 bytes); the figures above follow it there.
static_assert(kPassThroughRecordSize == 44);
static_assert(kPassThroughSenseOffset == 48);
static_assert(kPassThroughBlockSize == 80);
#endif

// The size of the buffer the logical drives' roots are read into.
constexpr DWORD kRootBufferSize = 80;

// A drive taken for an update: its volume locked (FSCTL_LOCK_VOLUME, a file
// system request any NT system knows) and the drive locked for this handle alone
// (IOCTL_CDROM_EXCLUSIVE_ACCESS of the CD-ROM class driver of Windows Vista and
// later; older drivers answer that they do not know the request).
constexpr DWORD kLockVolume = 0x90018;
constexpr DWORD kUnlockVolume = 0x9001C;
constexpr DWORD kCdromExclusiveAccess = 0x2C05C;
static_assert(kLockVolume == FSCTL_LOCK_VOLUME && kUnlockVolume == FSCTL_UNLOCK_VOLUME);
static_assert(kCdromExclusiveAccess ==
              CTL_CODE(FILE_DEVICE_CD_ROM, 0x17, METHOD_BUFFERED, FILE_READ_ACCESS | FILE_WRITE_ACCESS));

// The request of IOCTL_CDROM_EXCLUSIVE_ACCESS: its type (1 locks, 2 unlocks), its
// flags and, to lock, the name the driver reports as the lock's holder.
enum : ULONG { kExclusiveLock = 1, kExclusiveUnlock = 2 };
constexpr ULONG kLockIgnoringVolume = 1;  // the volume is this program's own: locked before
struct CdromExclusiveLock {
  ULONG RequestType;
  ULONG Flags;
  UCHAR CallerName[64];
};
static_assert(sizeof(CdromExclusiveLock) == 72);
constexpr char kExclusiveCallerName[] = "flashutil firmware update";

class PassThroughTransport : public Transport {
 public:
  std::uint8_t Setup(MessageSink& sink) override;
  bool OpensDevices() const override { return true; }
  // The CD-ROM drives among the logical drives, by letter, in the system's order.
  std::vector<DriveAddress> Enumerate() override;
  OpenResult Open(const DriveAddress& address) override;
  void Close(DeviceHandle handle) override;
  CommandResult Execute(DeviceHandle handle, const DriveAddress& address,
                        const CommandRequest& request) override;
  std::string ErrorText(std::uint32_t error) override;
  // A drive another program or another copy holds (ERROR_SHARING_VIOLATION from
  // the system, ERROR_BUSY from the drive's mutex): the user is told once.
  std::string AccessAdvice(const DriveAddress& address, std::uint32_t error) override;
  // The drive's mutex, its volume locked, and exclusive access to it, taken in
  // that order and given back in the reverse one. Refused when another copy owns
  // the mutex, or when the system refuses the lock or the exclusive access for
  // another program (access denied, sharing violation). A system that does not
  // know a request, or a drive without a volume, is no refusal.
  Claim ClaimDrive(DeviceHandle& handle, const DriveAddress& address) override;
  void ReleaseDrive(DeviceHandle& handle, const DriveAddress& address) override;
  std::uint32_t DeviceError() const override;

  // The block of the last command, as the system left it.
  const PassThroughBlock& Block() const { return block_; }

 private:
  PassThroughBlock block_ = {};
  DWORD returned_ = 0;
  std::set<char> advised_;  // the letters whose in-use advice was given
  // What the claim holds.
  HANDLE mutex_ = nullptr;
  HANDLE locked_ = nullptr;     // the handle whose volume is locked
  HANDLE exclusive_ = nullptr;  // the handle that has the drive to itself
};
