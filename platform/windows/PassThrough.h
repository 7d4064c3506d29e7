// The pass-through transport of the NT platform: a drive is opened by its letter
// as "\\.\X:" and every command goes to the system as one
// SCSI_PASS_THROUGH_DIRECT request through DeviceIoControl.
#pragma once

#include <windows.h>
// windows.h first: ntddscsi.h builds on its types.
#include <ntddscsi.h>

#include <cstddef>

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
  std::uint32_t DeviceError() const override;

  // The block of the last command, as the system left it.
  const PassThroughBlock& Block() const { return block_; }

 private:
  PassThroughBlock block_ = {};
  DWORD returned_ = 0;
};
