#include "common/Mutex.h"

#if defined(_WIN32)
#include <windows.h>

struct Mutex::State {
  CRITICAL_SECTION Section;
};

Mutex::Mutex() : state_(std::make_unique<State>()) {
  InitializeCriticalSection(&state_->Section);
}
Mutex::~Mutex() {
  DeleteCriticalSection(&state_->Section);
}
void Mutex::Lock() {
  EnterCriticalSection(&state_->Section);
}
void Mutex::Unlock() {
  LeaveCriticalSection(&state_->Section);
}

#else
#include <mutex>

struct Mutex::State {
  std::mutex Lock;
};

Mutex::Mutex() : state_(std::make_unique<State>()) {}
Mutex::~Mutex() = default;
void Mutex::Lock() {
  state_->Lock.lock();
}
void Mutex::Unlock() {
  state_->Lock.unlock();
}

#endif
