#include "tests/windows/WinSupport.h"

#include <cstring>

namespace {

FakeWindows gFake;

BOOL WINAPI FakeGetVersionExA(LPOSVERSIONINFOA info) {
  gFake.VersionSizes.push_back(info->dwOSVersionInfoSize);
  info->dwPlatformId = gFake.PlatformId;
  return TRUE;
}

HANDLE WINAPI FakeCreateFileA(LPCSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                              DWORD disposition, DWORD flags, HANDLE templateFile) {
  gFake.Opens.push_back(
      {path, access, share, disposition, flags, security != nullptr, templateFile != nullptr});
  const auto failure = gFake.OpenErrors.find(path);
  if (failure != gFake.OpenErrors.end()) {
    gFake.LastError = failure->second;
    return INVALID_HANDLE_VALUE;
  }
  return FakeHandle(0x100 + gFake.Opens.size());
}

BOOL WINAPI FakeCloseHandle(HANDLE handle) {
  if (gFake.Mutexes.count(handle) != 0) {
    gFake.Calls.push_back("close");
    return TRUE;
  }
  gFake.Closed.push_back(handle);
  return TRUE;
}

BOOL WINAPI FakeDeviceIoControl(HANDLE device, DWORD code, LPVOID in, DWORD inSize, LPVOID out, DWORD outSize,
                                LPDWORD returned, LPOVERLAPPED overlapped) {
  if (code != IOCTL_SCSI_PASS_THROUGH_DIRECT) {
    const bool locking =
        code == kCdromExclusiveAccess ? inSize == sizeof(CdromExclusiveLock) : code == FSCTL_LOCK_VOLUME;
    gFake.Calls.push_back(std::string(locking ? "" : "un") +
                          (code == kCdromExclusiveAccess ? "exclusive" : "lock"));
    const auto error = gFake.ControlErrors.find(code);
    gFake.LastError = error != gFake.ControlErrors.end() ? error->second : 0;
    return error == gFake.ControlErrors.end();
  }
  IoctlCall call = {device, code, in, inSize, out, outSize, overlapped, {}};
  std::memcpy(&call.Sent, in, sizeof call.Sent);
  gFake.Ioctls.push_back(call);
  gFake.Calls.push_back("command");
  if (returned != nullptr) *returned = outSize;
  const SCSI_PASS_THROUGH_DIRECT& record = call.Sent.Record;
  if (record.DataTransferLength > 0 &&
      (reinterpret_cast<ULONG_PTR>(record.DataBuffer) & gFake.AlignmentMask) != 0) {
    gFake.LastError = ERROR_INVALID_PARAMETER;
    return FALSE;
  }
  return gFake.Device(*static_cast<PassThroughBlock*>(out));
}

DWORD WINAPI FakeGetLastError() {
  return gFake.LastError;
}

DWORD WINAPI FakeFormatMessageA(DWORD flags, LPCVOID, DWORD, DWORD language, LPSTR buffer, DWORD size,
                                va_list*) {
  gFake.FormatFlags.push_back(flags);
  gFake.FormatSizes.push_back(size);
  gFake.FormatLanguages.push_back(language);
  if (gFake.FormatText.empty() || gFake.FormatText.size() >= size) return 0;
  std::memcpy(buffer, gFake.FormatText.c_str(), gFake.FormatText.size() + 1);
  return static_cast<DWORD>(gFake.FormatText.size());
}

DWORD WINAPI FakeGetLogicalDriveStringsA(DWORD size, LPSTR buffer) {
  gFake.RootBufferSizes.push_back(size);
  const std::string& roots = gFake.Roots;
  if (roots.size() > size) return static_cast<DWORD>(roots.size());
  std::memcpy(buffer, roots.data(), roots.size());
  return roots.empty() ? 0 : static_cast<DWORD>(roots.size() - 1);
}

UINT WINAPI FakeGetDriveTypeA(LPCSTR root) {
  const auto type = gFake.DriveTypes.find(root[0]);
  return type == gFake.DriveTypes.end() ? DRIVE_FIXED : type->second;
}

DWORD FakeSupportInfo() {
  return gFake.SupportInfo;
}

DWORD FakeSend(void* request) {
  auto* exec = static_cast<SRB_ExecSCSICmd*>(request);
  AspiCall call = {};
  call.Block = request;
  if (exec->SRB_Cmd == SC_ABORT_SRB) {
    call.Abort = true;
    std::memcpy(&call.AbortSent, request, sizeof call.AbortSent);
    gFake.AspiCalls.push_back(call);
    auto* target = static_cast<SRB_ExecSCSICmd*>(call.AbortSent.SRB_ToAbort);
    if (target != nullptr && target == gFake.Pending) gFake.OnAbort(*target);
    if (gFake.Pending != nullptr && gFake.Pending->SRB_Status != SS_PENDING) gFake.Pending = nullptr;
    return SS_COMP;
  }
  call.Abort = false;
  std::memcpy(&call.Sent, request, sizeof call.Sent);
  gFake.AspiCalls.push_back(call);
  gFake.Layer(*exec);
  gFake.Pending = exec->SRB_Status == SS_PENDING ? exec : nullptr;
  return exec->SRB_Status;
}

HMODULE WINAPI FakeLoadLibraryA(LPCSTR name) {
  gFake.Loads.push_back(name);
  return gFake.LibraryLoads ? reinterpret_cast<HMODULE>(FakeHandle(0x7000)) : nullptr;
}

BOOL WINAPI FakeSetDefaultDllDirectories(DWORD flags) {
  gFake.Calls.push_back("dll-search " + std::to_string(flags));
  return TRUE;
}

FARPROC WINAPI FakeGetProcAddress(HMODULE, LPCSTR name) {
  gFake.Lookups.push_back(name);
  const std::string wanted = name;
  if (wanted == "GetASPI32SupportInfo" && gFake.HasSupportInfo) {
    return reinterpret_cast<FARPROC>(reinterpret_cast<void (*)()>(&FakeSupportInfo));
  }
  if (wanted == "SendASPI32Command" && gFake.HasSend) {
    return reinterpret_cast<FARPROC>(reinterpret_cast<void (*)()>(&FakeSend));
  }
  if (wanted == "SetDefaultDllDirectories" && gFake.HasDefaultDllDirectories) {
    return reinterpret_cast<FARPROC>(reinterpret_cast<void (*)()>(&FakeSetDefaultDllDirectories));
  }
  return nullptr;
}

BOOL WINAPI FakeFreeLibrary(HMODULE) {
  ++gFake.Frees;
  return TRUE;
}

HANDLE WINAPI FakeCreateEventA(LPSECURITY_ATTRIBUTES attributes, BOOL manualReset, BOOL initialState,
                               LPCSTR name) {
  ++gFake.EventsCreated;
  const HANDLE event = FakeHandle(0x1000 + static_cast<std::uintptr_t>(gFake.EventsCreated));
  gFake.Events.push_back(event);
  gFake.EventAttributes.push_back(attributes != nullptr);
  gFake.EventManualReset.push_back(manualReset != FALSE);
  gFake.EventInitialState.push_back(initialState != FALSE);
  gFake.EventNamed.push_back(name != nullptr);
  return event;
}

HANDLE FakeMutex(const std::string& call, const std::string& name, bool existing) {
  gFake.Calls.push_back(call + name);
  if (existing && gFake.MutexesHeldElsewhere.count(name) == 0) {
    gFake.LastError = ERROR_FILE_NOT_FOUND;
    return nullptr;
  }
  const HANDLE mutex = FakeHandle(0x2000 + gFake.Mutexes.size());
  gFake.Mutexes[mutex] = name;
  return mutex;
}
HANDLE WINAPI FakeCreateMutexA(LPSECURITY_ATTRIBUTES, BOOL, LPCSTR name) {
  return FakeMutex("mutex ", name, false);
}
HANDLE WINAPI FakeOpenMutexA(DWORD, BOOL, LPCSTR name) {
  return FakeMutex("open ", name, true);
}
BOOL WINAPI FakeReleaseMutex(HANDLE) {
  gFake.Calls.push_back("release");
  return TRUE;
}

BOOL WINAPI FakeGetSystemPowerStatus(LPSYSTEM_POWER_STATUS status) {
  *status = gFake.Power;
  return TRUE;
}
EXECUTION_STATE WINAPI FakeSetThreadExecutionState(EXECUTION_STATE state) {
  const bool awake = state == (ES_CONTINUOUS | ES_SYSTEM_REQUIRED);
  gFake.Calls.push_back(awake ? "awake" : state == ES_CONTINUOUS ? "may-sleep" : std::to_string(state));
  return ES_CONTINUOUS;
}

DWORD WINAPI FakeWaitForSingleObject(HANDLE handle, DWORD milliseconds) {
  if (gFake.Mutexes.count(handle) != 0) {
    gFake.Calls.push_back("wait " + std::to_string(milliseconds));
    return gFake.MutexesHeldElsewhere.count(gFake.Mutexes[handle]) != 0 ? WAIT_TIMEOUT : WAIT_OBJECT_0;
  }
  gFake.Waits.emplace_back(handle, milliseconds);
  DWORD outcome = WAIT_OBJECT_0;
  if (!gFake.WaitOutcomes.empty()) {
    outcome = gFake.WaitOutcomes.front();
    gFake.WaitOutcomes.erase(gFake.WaitOutcomes.begin());
  }
  if (outcome == WAIT_OBJECT_0 && gFake.Pending != nullptr) {
    gFake.Complete(*gFake.Pending);
    gFake.Pending = nullptr;
  } else if (outcome == WAIT_TIMEOUT && gFake.Pending != nullptr) {
    gFake.AtTimeout(*gFake.Pending);
    if (gFake.Pending->SRB_Status != SS_PENDING) gFake.Pending = nullptr;
  }
  return outcome;
}

BOOL WINAPI FakeResetEvent(HANDLE event) {
  gFake.Resets.push_back(event);
  return TRUE;
}

}  // namespace

FakeWindows& Fake() {
  return gFake;
}

SystemStandIns::SystemStandIns() : saved_(System()) {
  gFake = FakeWindows{};
  WinSystem& table = System();
  table.GetVersionExA = &FakeGetVersionExA;
  table.CreateFileA = &FakeCreateFileA;
  table.CloseHandle = &FakeCloseHandle;
  table.DeviceIoControl = &FakeDeviceIoControl;
  table.GetLastError = &FakeGetLastError;
  table.FormatMessageA = &FakeFormatMessageA;
  table.GetLogicalDriveStringsA = &FakeGetLogicalDriveStringsA;
  table.GetDriveTypeA = &FakeGetDriveTypeA;
  table.LoadLibraryA = &FakeLoadLibraryA;
  table.GetProcAddress = &FakeGetProcAddress;
  table.FreeLibrary = &FakeFreeLibrary;
  table.CreateEventA = &FakeCreateEventA;
  table.WaitForSingleObject = &FakeWaitForSingleObject;
  table.ResetEvent = &FakeResetEvent;
  table.CreateMutexA = &FakeCreateMutexA;
  table.OpenMutexA = &FakeOpenMutexA;
  table.ReleaseMutex = &FakeReleaseMutex;
  table.GetSystemPowerStatus = &FakeGetSystemPowerStatus;
  table.SetThreadExecutionState = &FakeSetThreadExecutionState;
}

SystemStandIns::~SystemStandIns() {
  System() = saved_;
}
