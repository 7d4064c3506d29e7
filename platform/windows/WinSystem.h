// The Windows calls the transports and the file list make, reached through one
// table of function pointers. The program uses the system's own functions; a
// test puts its stand-ins into the table to see the requests that go down and
// to answer them.
#pragma once

#include <windows.h>

#include <string>

struct WinSystem {
  decltype(&::GetVersionExA) GetVersionExA = &::GetVersionExA;
  decltype(&::CreateFileA) CreateFileA = &::CreateFileA;
  decltype(&::CloseHandle) CloseHandle = &::CloseHandle;
  decltype(&::DeviceIoControl) DeviceIoControl = &::DeviceIoControl;
  decltype(&::GetLastError) GetLastError = &::GetLastError;
  decltype(&::FormatMessageA) FormatMessageA = &::FormatMessageA;
  decltype(&::GetLogicalDriveStringsA) GetLogicalDriveStringsA = &::GetLogicalDriveStringsA;
  decltype(&::GetDriveTypeA) GetDriveTypeA = &::GetDriveTypeA;
  decltype(&::LoadLibraryA) LoadLibraryA = &::LoadLibraryA;
  decltype(&::GetProcAddress) GetProcAddress = &::GetProcAddress;
  decltype(&::FreeLibrary) FreeLibrary = &::FreeLibrary;
  decltype(&::CreateEventA) CreateEventA = &::CreateEventA;
  decltype(&::WaitForSingleObject) WaitForSingleObject = &::WaitForSingleObject;
  decltype(&::ResetEvent) ResetEvent = &::ResetEvent;
  // The drive's mutex, which one copy of the program owns while it updates the drive.
  decltype(&::CreateMutexA) CreateMutexA = &::CreateMutexA;
  decltype(&::OpenMutexA) OpenMutexA = &::OpenMutexA;
  decltype(&::ReleaseMutex) ReleaseMutex = &::ReleaseMutex;
  // The power supply, and the machine kept awake (Windows 98 and 2000 on).
  decltype(&::GetSystemPowerStatus) GetSystemPowerStatus = &::GetSystemPowerStatus;
  decltype(&::SetThreadExecutionState) SetThreadExecutionState = &::SetThreadExecutionState;
  // The reason the shutdown screen gives for a window that holds the session's
  // end. Windows Vista and later have them: looked up at run time, they fail
  // with ERROR_CALL_NOT_IMPLEMENTED on older systems, whose loader would refuse a
  // program that imports them.
  BOOL(WINAPI* ShutdownBlockReasonCreate)(HWND, LPCWSTR) = &LookedUpShutdownBlockReasonCreate;
  BOOL(WINAPI* ShutdownBlockReasonDestroy)(HWND) = &LookedUpShutdownBlockReasonDestroy;

 private:
  static BOOL WINAPI LookedUpShutdownBlockReasonCreate(HWND window, LPCWSTR reason);
  static BOOL WINAPI LookedUpShutdownBlockReasonDestroy(HWND window);
};

// The table in use.
WinSystem& System();

// From now on, a DLL loaded by name comes from the system folder only, never from
// the program's folder or the working directory: the program runs elevated and
// is often started from a downloads folder. SetDefaultDllDirectories came with
// Windows 7's security update and Windows 8: it is looked up at run time, and
// older systems, which lack it, keep their search order.
void HardenDllSearch(const WinSystem& system);

// The system's text for an error number from an 80-byte buffer, as the
// SenseCode message shows it; "" when the system has none or it does not fit.
std::string SystemErrorText(DWORD error);
// The system's words for an error inside a sentence of ours: its text without
// the closing full stop and line end, else "error N".
std::string SystemReasonText(DWORD error);
