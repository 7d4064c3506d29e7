// A lock for state shared by the window's thread and the worker. The C++ runtime
// of the Windows programs has no std::mutex (its thread model keeps it off the
// newer systems' calls), so Windows uses a critical section.
#pragma once

#include <memory>

class Mutex {
 public:
  Mutex();
  ~Mutex();
  Mutex(const Mutex&) = delete;
  Mutex& operator=(const Mutex&) = delete;

  void Lock();
  void Unlock();

 private:
  struct State;
  std::unique_ptr<State> state_;
};

// Holds the lock for its scope.
class MutexLock {
 public:
  explicit MutexLock(Mutex& mutex) : mutex_(mutex) { mutex_.Lock(); }
  ~MutexLock() { mutex_.Unlock(); }
  MutexLock(const MutexLock&) = delete;
  MutexLock& operator=(const MutexLock&) = delete;

 private:
  Mutex& mutex_;
};
