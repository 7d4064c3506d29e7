// The ASPI transport of the platforms before NT: the ASPI layer WNASPI32.DLL is
// loaded at run time, and every command goes to it as one SRB_ExecSCSICmd
// request, addressed by host adapter, target and LUN, that signals an event
// when it completes.
#pragma once

#include <windows.h>

#include <cstddef>
#include <memory>
#include <vector>

#include "device/Transport.h"

// Request codes, flags and status values of the ASPI layer.
constexpr BYTE SC_EXEC_SCSI_CMD = 0x02;
constexpr BYTE SC_ABORT_SRB = 0x03;
constexpr BYTE SRB_DIR_IN = 0x08;
constexpr BYTE SRB_DIR_OUT = 0x10;
constexpr BYTE SRB_EVENT_NOTIFY = 0x40;
constexpr BYTE SS_PENDING = 0x00;
constexpr BYTE SS_COMP = 0x01;
constexpr BYTE SS_ERR = 0x04;
constexpr BYTE SENSE_LEN = 14;

#pragma pack(push, 1)
struct SRB_ExecSCSICmd {
  BYTE SRB_Cmd;
  BYTE SRB_Status;
  BYTE SRB_HaId;
  BYTE SRB_Flags;
  DWORD SRB_Hdr_Rsvd;
  BYTE SRB_Target;
  BYTE SRB_Lun;
  WORD SRB_Rsvd1;
  DWORD SRB_BufLen;
  BYTE* SRB_BufPointer;
  BYTE SRB_SenseLen;
  BYTE SRB_CDBLen;
  BYTE SRB_HaStat;
  BYTE SRB_TargStat;
  void* SRB_PostProc;  // with SRB_EVENT_NOTIFY: the event to signal
  void* SRB_Rsvd2;     // reserved, pointer-sized; with SRB_Rsvd3 the 20 reserved bytes of 32-bit
  BYTE SRB_Rsvd3[16];
  BYTE CDBByte[16];
  BYTE SenseArea[SENSE_LEN + 2];
};

struct SRB_Abort {
  BYTE SRB_Cmd;
  BYTE SRB_Status;
  BYTE SRB_HaId;
  BYTE SRB_Flags;
  DWORD SRB_Hdr_Rsvd;
  void* SRB_ToAbort;
};
#pragma pack(pop)

#ifndef _WIN64
// 80 bytes with 4-byte pointers; a 64-bit layer lays the pointers out at 8.
static_assert(sizeof(SRB_ExecSCSICmd) == 80);
static_assert(offsetof(SRB_ExecSCSICmd, CDBByte) == 48);
static_assert(offsetof(SRB_ExecSCSICmd, SenseArea) == 64);
static_assert(sizeof(SRB_Abort) == 12);
#endif

using GetASPI32SupportInfoFunction = DWORD (*)();
using SendASPI32CommandFunction = DWORD (*)(void* srb);

// The layer's address space on the bus: host adapters 0 to 19, targets 0 and 1.
constexpr int kAspiHostAdapters = 20;
constexpr int kAspiTargets = 2;

// How long a request that was asked to abort, or that finished as the wait gave
// up, may take to leave the layer.
constexpr DWORD kAspiAbortWaitMilliseconds = 10000;

// The load-failure message, four lines.
extern const char* const kAspiLoadFailureMessage;

class AspiTransport : public Transport {
 public:
  AspiTransport();
  ~AspiTransport() override;
  AspiTransport(const AspiTransport&) = delete;
  AspiTransport& operator=(const AspiTransport&) = delete;

  // Loads the layer and checks it: dsOk, or dsAspiNotLoaded (after showing the
  // load-failure message), dsAspiEntryMissing or dsAspiNotReady.
  std::uint8_t Setup(MessageSink& sink) override;
  bool OpensDevices() const override { return false; }
  void ReleaseLayer() override;
  // Every address of the probe range, by host adapter, then target; LUN 0.
  std::vector<DriveAddress> Enumerate() override;
  OpenResult Open(const DriveAddress& address) override;
  void Close(DeviceHandle handle) override;
  CommandResult Execute(DeviceHandle handle, const DriveAddress& address,
                        const CommandRequest& request) override;
  std::string ErrorText(std::uint32_t error) override;
  std::uint32_t DeviceError() const override { return ERROR_IO_DEVICE; }
  // The drive's mutex alone: Windows 98 and ME have no volume lock or exclusive
  // access for an ASPI program. While another copy owns a drive's mutex, no
  // command goes to that drive.
  Claim ClaimDrive(DeviceHandle& handle, const DriveAddress& address) override;
  void ReleaseDrive(DeviceHandle& handle, const DriveAddress& address) override;

  bool Loaded() const { return library_ != nullptr; }
  // True once a request could not be taken back from the layer: from then on no
  // command goes to it, and the layer is never released.
  bool Stuck() const { return !abandoned_.empty(); }
  // The request block of the next command (and of the last one, as the layer
  // left it).
  const SRB_ExecSCSICmd& Block() const { return *block_; }

 private:
  void Forget();
  // After a wait that did not see the request finish: asks the layer to abort
  // it when it is still pending, then waits for the layer to signal its event.
  // False when it is still the layer's.
  bool TakeBack(HANDLE event);

  HMODULE library_ = nullptr;
  SendASPI32CommandFunction send_ = nullptr;
  std::unique_ptr<SRB_ExecSCSICmd> block_;
  // Requests the layer never gave back, with their events: kept alive and open
  // for as long as the process runs, since the layer may still write to them.
  struct Abandoned {
    std::unique_ptr<SRB_ExecSCSICmd> Block;
    HANDLE Event;
  };
  std::vector<Abandoned> abandoned_;
  HANDLE mutex_ = nullptr;  // the claimed drive's mutex
};
