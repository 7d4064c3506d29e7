#include "platform/windows/Aspi.h"

#include <cstdint>
#include <cstring>

#include "platform/windows/DriveMutex.h"
#include "platform/windows/WinSystem.h"

const char* const kAspiLoadFailureMessage =
    "Unable to load WNASPI32.DLL !\n"
    "You can down the DLL from http://www.example.com/aspi\n"
    " and copy the DLL to system directory.\n"
    "\n";

namespace {

// The layer writes the status from its own thread: read it afresh every time.
BYTE StatusOf(const SRB_ExecSCSICmd& block) {
  return *static_cast<const volatile BYTE*>(&block.SRB_Status);
}

// A function of the layer by name, as the type it is called through.
template <typename Function>
Function Entry(HMODULE library, const char* name) {
  const FARPROC found = System().GetProcAddress(library, name);
  return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(found));
}

}  // namespace

AspiTransport::AspiTransport() : block_(std::make_unique<SRB_ExecSCSICmd>()) {}

AspiTransport::~AspiTransport() {
  if (Stuck()) {
    // The layer may still complete these: they stay with it until the process ends.
    for (Abandoned& request : abandoned_) static_cast<void>(request.Block.release());
    return;
  }
  Forget();
}

void AspiTransport::Forget() {
  if (library_ != nullptr) System().FreeLibrary(library_);
  library_ = nullptr;
  send_ = nullptr;
}

std::uint8_t AspiTransport::Setup(MessageSink& sink) {
  // A layer still loaded from an earlier set-up is released once the new load
  // holds it, so each set-up keeps exactly one reference.
  const HMODULE previous = library_;
  const HMODULE library = System().LoadLibraryA("WNASPI32.DLL");
  library_ = library;
  send_ = nullptr;
  if (previous != nullptr && !Stuck()) System().FreeLibrary(previous);

  if (reinterpret_cast<std::uintptr_t>(library) < 32) {
    library_ = nullptr;
    sink.ShowErrorMessage(kAspiLoadFailureMessage);
    return dsAspiNotLoaded;
  }
  const auto supportInfo = Entry<GetASPI32SupportInfoFunction>(library, "GetASPI32SupportInfo");
  if (supportInfo == nullptr) {
    Forget();
    return dsAspiEntryMissing;
  }
  // Bits 8 to 15: the layer's status; bits 0 to 7, the number of host
  // adapters, are not used: the whole probe range is tried.
  if (((supportInfo() >> 8) & 0xFF) != SS_COMP) {
    Forget();
    return dsAspiNotReady;
  }
  const auto send = Entry<SendASPI32CommandFunction>(library, "SendASPI32Command");
  if (send == nullptr) {
    Forget();
    return dsAspiEntryMissing;
  }
  send_ = send;
  return dsOk;
}

void AspiTransport::ReleaseLayer() {
  if (!Stuck()) Forget();
}

std::vector<DriveAddress> AspiTransport::Enumerate() {
  std::vector<DriveAddress> addresses;
  for (int adapter = 0; adapter < kAspiHostAdapters; ++adapter) {
    for (int target = 0; target < kAspiTargets; ++target) {
      DriveAddress address;
      address.Letter = ' ';
      address.HaId = static_cast<std::uint8_t>(adapter);
      address.Target = static_cast<std::uint8_t>(target);
      address.Lun = 0;
      addresses.push_back(address);
    }
  }
  return addresses;
}

OpenResult AspiTransport::Open(const DriveAddress&) {
  return {};
}

void AspiTransport::Close(DeviceHandle) {}

bool AspiTransport::TakeBack(HANDLE event) {
  if (StatusOf(*block_) == SS_PENDING) {
    SRB_Abort abort = {};
    abort.SRB_Cmd = SC_ABORT_SRB;
    abort.SRB_HaId = block_->SRB_HaId;
    abort.SRB_ToAbort = block_.get();
    send_(&abort);
  }
  // Aborted or finished just as the wait gave up, the request went pending, so
  // the layer signals its event as the last thing it does with it: until then it
  // may still read the event from the block and signal it. A status that is no
  // longer pending does not say that it has.
  if (System().WaitForSingleObject(event, kAspiAbortWaitMilliseconds) != WAIT_OBJECT_0) return false;
  System().ResetEvent(event);
  return StatusOf(*block_) != SS_PENDING;
}

CommandResult AspiTransport::Execute(DeviceHandle, const DriveAddress& address,
                                     const CommandRequest& request) {
  CommandResult result;
  if (send_ == nullptr || Stuck()) {
    // No layer, or one that still holds an earlier request: nothing goes down.
    result.OsError = ERROR_BUSY;
    return result;
  }
  // Another copy updates the drive at this address: nothing goes to it, not even
  // the INQUIRY of a listing.
  if (mutex_ == nullptr && DriveMutexHeldElsewhere(DriveMutexName(address, false))) {
    result.OsError = ERROR_BUSY;
    return result;
  }
  const HANDLE event = System().CreateEventA(nullptr, FALSE, FALSE, nullptr);
  if (event == nullptr) {
    result.OsError = System().GetLastError();
    return result;
  }

  SRB_ExecSCSICmd& block = *block_;
  std::memset(&block, 0, sizeof block);
  block.SRB_Cmd = SC_EXEC_SCSI_CMD;
  block.SRB_HaId = address.HaId;
  block.SRB_Flags = static_cast<BYTE>((request.DataIn ? SRB_DIR_IN : SRB_DIR_OUT) | SRB_EVENT_NOTIFY);
  block.SRB_Target = address.Target;
  block.SRB_Lun = 0;
  block.SRB_BufLen = request.Length;
  block.SRB_BufPointer = request.Data;
  block.SRB_SenseLen = SENSE_LEN;
  block.SRB_CDBLen = 12;
  block.SRB_PostProc = event;
  std::memcpy(block.CDBByte, request.Cdb, 12);

  send_(&block);
  bool waited = false;
  bool signalled = false;
  if (StatusOf(block) == SS_PENDING) {
    waited = true;
    const DWORD waitMs = static_cast<DWORD>(request.TimeoutSeconds) * 1000;
    if (System().WaitForSingleObject(event, waitMs) == WAIT_OBJECT_0) {
      System().ResetEvent(event);
      signalled = true;
    }
  }

  // A request that went pending belongs to the layer until it has signalled its
  // event with the request finished: neither the block nor its event may be
  // used again or closed before that.
  if (waited && (!signalled || StatusOf(block) == SS_PENDING) && !TakeBack(event)) {
    abandoned_.push_back({std::move(block_), event});
    block_ = std::make_unique<SRB_ExecSCSICmd>();
    result.OsError = ERROR_TIMEOUT;
    return result;  // failed, status 0x00 and no sense
  }

  System().CloseHandle(event);
  // What came back, as it came: the judgement is the drive unit's. A request the
  // layer finished (SS_COMP), or one the drive answered with a status of its own
  // (SS_ERR with the adapter content and a target status), completed; the drive
  // keeps SRB_Status as its status byte. The layer gives no residual.
  const BYTE status = StatusOf(block);
  result.Status = status;
  result.SetSense(block.SenseArea, SENSE_LEN);
  if (status == SS_COMP || (status == SS_ERR && block.SRB_HaStat == 0 && block.SRB_TargStat != 0)) {
    result.Completed = true;
    result.ScsiStatus = block.SRB_TargStat;
  }
  return result;
}

Transport::Claim AspiTransport::ClaimDrive(DeviceHandle&, const DriveAddress& address) {
  Claim claim;
  const DriveMutexClaim mutex = TakeDriveMutex(DriveMutexName(address, false));
  claim.Refused = mutex.Refused;
  if (claim.Refused) claim.Reason = kAnotherCopyReason;
  mutex_ = mutex.Mutex;
  return claim;
}

void AspiTransport::ReleaseDrive(DeviceHandle&, const DriveAddress&) {
  GiveBackDriveMutex(mutex_);
}

std::string AspiTransport::ErrorText(std::uint32_t error) {
  return SystemErrorText(error);
}
