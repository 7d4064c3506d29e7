// Stand-ins for the Windows calls of the transports: a test puts them into the
// System() table, scripts their answers and reads back what was asked of them.
// The table is restored when the stand-ins go.
#pragma once

#include <windows.h>

#include <cstdint>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "platform/windows/Aspi.h"
#include "platform/windows/PassThrough.h"
#include "platform/windows/WinSystem.h"

struct IoctlCall {
  HANDLE Device;
  DWORD Code;
  void* In;
  DWORD InSize;
  void* Out;
  DWORD OutSize;
  LPOVERLAPPED Overlapped;
  PassThroughBlock Sent;  // the block as it went down
};

struct OpenCall {
  std::string Path;
  DWORD Access, Share, Disposition, Flags;
  bool Security, Template;
};

// The ASPI layer's side: what it was sent and how it answers.
struct AspiCall {
  bool Abort;
  SRB_ExecSCSICmd Sent;  // an exec request as it went down
  SRB_Abort AbortSent;
  void* Block;
};

struct FakeWindows {
  // In the order asked for: the drive's mutex ("mutex NAME", "open NAME", "wait
  // MS", "release", "close"), its volume ("lock", "unlock") and exclusive access
  // ("exclusive", "unexclusive"), the execution state ("awake", "may-sleep", or
  // another in decimal), the pass-through requests ("command") and the DLL search ("dll-search FLAGS").
  std::vector<std::string> Calls;
  std::map<DWORD, DWORD> ControlErrors;  // a request other than pass-through fails with this
  std::set<std::string> MutexesHeldElsewhere;
  std::map<HANDLE, std::string> Mutexes;  // the mutexes given out
  SYSTEM_POWER_STATUS Power = {1, 0, 255, 0, 0xFFFFFFFF, 0xFFFFFFFF};

  // Version.
  DWORD PlatformId = VER_PLATFORM_WIN32_NT;
  std::vector<DWORD> VersionSizes;  // dwOSVersionInfoSize of every request

  // Devices.
  std::vector<OpenCall> Opens;
  std::map<std::string, DWORD> OpenErrors;  // path -> error: that open fails
  std::vector<HANDLE> Closed;
  std::vector<IoctlCall> Ioctls;
  // The device's answer to a request: fills the block, returns the call's result.
  std::function<BOOL(PassThroughBlock&)> Device = [](PassThroughBlock&) { return TRUE; };
  // The adapter's alignment mask: as the port driver does, a request whose data
  // buffer is not aligned by it is refused with ERROR_INVALID_PARAMETER.
  ULONG_PTR AlignmentMask = 0;
  DWORD LastError = 0;

  // Logical drives: the roots as the system lists them, and their types.
  std::string Roots;
  std::vector<DWORD> RootBufferSizes;
  std::map<char, UINT> DriveTypes;

  // Message texts.
  std::vector<DWORD> FormatFlags, FormatSizes, FormatLanguages;
  std::string FormatText;  // "" answers 0

  bool HasDefaultDllDirectories = true;  // kernel32 has SetDefaultDllDirectories

  // ASPI layer.
  bool LibraryLoads = true;
  bool HasSupportInfo = true;
  bool HasSend = true;
  DWORD SupportInfo = 0x0101;
  std::vector<std::string> Loads;
  std::vector<std::string> Lookups;
  int Frees = 0;
  std::vector<AspiCall> AspiCalls;
  // The layer's answer to an exec request: sets status and sense (SS_PENDING
  // leaves it to Complete, run when the caller waits).
  std::function<void(SRB_ExecSCSICmd&)> Layer = [](SRB_ExecSCSICmd& srb) { srb.SRB_Status = SS_COMP; };
  std::function<void(SRB_ExecSCSICmd&)> Complete = [](SRB_ExecSCSICmd& srb) { srb.SRB_Status = SS_COMP; };
  // Abort requests: what happens to the request being aborted.
  std::function<void(SRB_ExecSCSICmd&)> OnAbort = [](SRB_ExecSCSICmd& srb) { srb.SRB_Status = 0x02; };
  SRB_ExecSCSICmd* PendingAfterAbort = nullptr;

  // Events and waits.
  int EventsCreated = 0;
  std::vector<HANDLE> Events;
  std::vector<bool> EventManualReset, EventInitialState, EventNamed, EventAttributes;
  std::vector<std::pair<HANDLE, DWORD>> Waits;
  std::vector<HANDLE> Resets;
  // The outcome of each wait in turn; WAIT_OBJECT_0 when none is left. A wait
  // that answers WAIT_OBJECT_0 runs Complete on the pending request.
  std::vector<DWORD> WaitOutcomes;
  SRB_ExecSCSICmd* Pending = nullptr;
  // Runs on the pending request when a wait times out: a layer that finishes
  // the request just as the wait gives up, before it signals the event.
  std::function<void(SRB_ExecSCSICmd&)> AtTimeout = [](SRB_ExecSCSICmd&) {};
};

// The fake system of the running test.
FakeWindows& Fake();

// Puts the stand-ins into the table for as long as it lives, with a fresh Fake().
class SystemStandIns {
 public:
  SystemStandIns();
  ~SystemStandIns();
  SystemStandIns(const SystemStandIns&) = delete;
  SystemStandIns& operator=(const SystemStandIns&) = delete;

 private:
  WinSystem saved_;
};

// Handles the stand-ins give out.
inline HANDLE FakeHandle(std::uintptr_t n) {
  return reinterpret_cast<HANDLE>(n);
}
