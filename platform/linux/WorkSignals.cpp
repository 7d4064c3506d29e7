#include "platform/linux/WorkSignals.h"

#include <pthread.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstddef>
#include <cstring>
#include <exception>
#include <system_error>
#include <thread>

namespace {

constexpr int kHeldSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGTSTP};
constexpr std::size_t kHeldCount = sizeof kHeldSignals / sizeof kHeldSignals[0];

// What the handler writes, once each, on the standard error stream.
struct WorkMessages {
  const char* end;
  const char* suspend;
};
constexpr WorkMessages kUpdateMessages = {
    "\nFlash is in progress: it cannot be interrupted. The program ends when it is done.\n",
    "\nFlash is in progress: it cannot be suspended. The program stops when it is done.\n"};
constexpr WorkMessages kBuildMessages = {
    "\nThe build is in progress: it cannot be interrupted. The program ends when it is done.\n",
    "\nThe build is in progress: it cannot be suspended. The program stops when it is done.\n"};

// Shared with the handler, which runs on any thread that does not block the
// signals: the one that started the work, or one of a toolkit's library.
const WorkMessages* volatile gMessages = &kUpdateMessages;
volatile std::sig_atomic_t gEndSignal = 0;  // the first signal that asked the program to end
volatile std::sig_atomic_t gSuspendHeld = 0;

// Only the thread that starts and ends the work touches these.
struct SavedAction {
  bool replaced = false;
  struct sigaction before {};
};
SavedAction gSaved[kHeldCount];
SavedAction gSavedPipe;
SavedAction gSavedTtou;

void Say(const char* text) {
  // A terminal that is gone refuses the text: nothing more can be done.
  if (write(STDERR_FILENO, text, std::strlen(text)) < 0) return;
}

extern "C" void HoldSignal(int signal) {
  const int savedErrno = errno;
  if (signal == SIGTSTP) {
    if (gSuspendHeld == 0 && gEndSignal == 0) Say(gMessages->suspend);
    gSuspendHeld = 1;
  } else if (gEndSignal == 0) {
    gEndSignal = signal;
    Say(gMessages->end);
  }
  errno = savedErrno;
}

void HeldSet(sigset_t& set) {
  sigemptyset(&set);
  for (int signal : kHeldSignals) sigaddset(&set, signal);
}

void Replace(int signal, void (*handler)(int), SavedAction& saved) {
  struct sigaction action {};
  action.sa_handler = handler;
  action.sa_flags = SA_RESTART;
  HeldSet(action.sa_mask);
  saved.replaced = sigaction(signal, &action, &saved.before) == 0;
}

void Restore(int signal, SavedAction& saved) {
  if (saved.replaced) sigaction(signal, &saved.before, nullptr);
  saved.replaced = false;
}

}  // namespace

void HoldWorkSignals(HeldWork work) {
  gMessages = work == HeldWork::Build ? &kBuildMessages : &kUpdateMessages;
  gEndSignal = 0;
  gSuspendHeld = 0;
  for (std::size_t i = 0; i < kHeldCount; ++i) {
    // A signal the program was started to ignore (nohup, a background job) stays ignored.
    struct sigaction current {};
    sigaction(kHeldSignals[i], nullptr, &current);
    if (current.sa_handler != SIG_IGN) Replace(kHeldSignals[i], HoldSignal, gSaved[i]);
  }
  Replace(SIGPIPE, SIG_IGN, gSavedPipe);
  Replace(SIGTTOU, SIG_IGN, gSavedTtou);
}

bool WorkSignalHeld() {
  return gEndSignal != 0 || gSuspendHeld != 0;
}

void ReleaseWorkSignals() {
  for (std::size_t i = 0; i < kHeldCount; ++i) Restore(kHeldSignals[i], gSaved[i]);
  Restore(SIGPIPE, gSavedPipe);
  Restore(SIGTTOU, gSavedTtou);
  // No handler runs from here on: the held flags are final. The signal is raised
  // on this thread, which does not block it, so its action is taken here and now.
  const int end = gEndSignal;
  const bool suspend = gSuspendHeld != 0;
  gEndSignal = 0;
  gSuspendHeld = 0;
  if (end != 0) std::raise(end);
  if (suspend) std::raise(SIGTSTP);
}

void BlockWorkSignals(sigset_t& before) {
  sigset_t held;
  HeldSet(held);
  pthread_sigmask(SIG_BLOCK, &held, &before);
}

void RunWithWorkSignalsBlocked(void (*step)(void*), void* context) {
  // The command runs on a thread that blocks the held signals, which reach this
  // thread and its handler meanwhile, so the message appears at once, even
  // during a commit of minutes.
  sigset_t before;
  BlockWorkSignals(before);  // the new thread starts with this mask
  std::exception_ptr failure;
  auto run = [step, context, &failure] {
    try {
      step(context);
    } catch (...) {
      failure = std::current_exception();
    }
  };
  std::thread command;
  try {
    command = std::thread(run);
  } catch (const std::system_error&) {
    // No thread to be had: the command runs here with the signals blocked, and a
    // held one is taken as soon as it is done.
  }
  if (command.joinable()) {
    pthread_sigmask(SIG_SETMASK, &before, nullptr);
    command.join();
  } else {
    run();
    pthread_sigmask(SIG_SETMASK, &before, nullptr);
  }
  if (failure) std::rethrow_exception(failure);
}
