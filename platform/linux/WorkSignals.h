// Work that nothing interrupts by accident, on both faces of the Linux program.
//
// During an update or a build (a toolkit's BeginWork to EndWork) the signals
// that would end the program (Ctrl-C and Ctrl-\ on its terminal, a closed
// terminal, a log-out or another process: SIGINT, SIGQUIT, SIGHUP, SIGTERM) or
// suspend it (Ctrl-Z: SIGTSTP) are held: a handler says once on the standard
// error stream that the work cannot be interrupted, the work finishes, and then
// the program ends (or stops) by the signal as it would have at once. Meanwhile
// a closed pipe or terminal costs only the output (SIGPIPE and SIGTTOU are
// ignored). A signal the program was started to ignore stays ignored.
//
// The state is the process's own: the program file holds the one copy, which
// the Qt face, a shared object loaded at run time, uses too.
#pragma once

#include <signal.h>

enum class HeldWork { Update, Build };

// From here on the signals are held; the message names the work.
void HoldWorkSignals(HeldWork work);
// Whether a signal has asked the program to end or stop since the work began.
bool WorkSignalHeld();
// Puts every disposition back, then acts on a held signal: raised again with
// its own action, it ends the program (or stops it; continued, this returns).
void ReleaseWorkSignals();
// Blocks the held signals on the calling thread and gives the mask it had. The
// threads that run drive commands block them: the SCSI generic driver gives up
// waiting for a command when a handler runs on its thread, and a restarted call
// would send the command again. A thread started meanwhile starts with them blocked.
void BlockWorkSignals(sigset_t& before);
// Runs one step (a drive command) during the work: on a thread that blocks the
// held signals, which reach the calling thread and its handler meanwhile, so the
// message appears at once, even during a commit of minutes.
void RunWithWorkSignalsBlocked(void (*step)(void*), void* context);
