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
};

// The table in use.
WinSystem& System();

// The system's text for an error number from an 80-byte buffer, as the
// SenseCode message shows it; "" when the system has none or it does not fit.
std::string SystemErrorText(DWORD error);
