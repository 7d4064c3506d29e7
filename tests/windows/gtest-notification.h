// GoogleTest's Notification, made of a Win32 event. GoogleTest's own one waits on
// std::mutex and std::condition_variable, which the runtime of the win32 thread
// model does not have; everything else of its thread-safe mode uses Win32 calls.
// Included ahead of every source of the Windows tests (tests/CMakeLists.txt).
#pragma once

#include <windows.h>

#define GTEST_HAS_NOTIFICATION_ 1

namespace testing::internal {

class Notification {
 public:
  Notification() : event_(CreateEventA(nullptr, TRUE, FALSE, nullptr)) {}
  ~Notification() { CloseHandle(event_); }
  Notification(const Notification&) = delete;
  Notification& operator=(const Notification&) = delete;

  void Notify() { SetEvent(event_); }
  void WaitForNotification() { WaitForSingleObject(event_, INFINITE); }

 private:
  HANDLE event_;
};

}  // namespace testing::internal
