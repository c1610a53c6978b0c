// Ending a run on SIGINT/SIGTERM without leaving the VCI with open links,
// and, at the interactive shell's prompt, Ctrl-C as "cancel the current
// thing" instead of "end the session".
//
// The two signals are blocked in every thread (the library's threads
// inherit the mask, since the watcher starts before the library is loaded)
// and taken by one watcher thread with sigwait, so no code runs inside a
// signal handler. Outside interrupt mode the first signal sets the stop
// flag and wakes whatever pdutool waits on (an event wait, the shell's
// line reader); the main thread then closes down in order (STOPCOMM,
// PDUDisconnect, PDUDestroyComLogicalLink, PDUModuleDisconnect,
// PDUDestruct). The second signal ends the process at once (exit status
// 130). In interrupt mode (the shell on a terminal) SIGINT only raises the
// interrupt flag and wakes the same waits; SIGTERM still stops.
//
// Signals.cpp is the POSIX body, tools/windows/SignalsWin32.cpp the
// Windows one.
#pragma once

namespace pdutool {

void StartSignalWatcher();
bool StopRequested();
// Readable once a stop was requested (for poll() next to a terminal).
int StopFd();
// Exit status of a run that was stopped by a signal.
inline constexpr int kExitStopped = 130;

// Interrupt mode: SIGINT cancels instead of stopping.
void SetInterruptMode(bool on);
// True while an interrupt is pending (not yet taken).
bool InterruptPending();
// Takes the pending interrupt: true when there was one.
bool TakeInterrupt();
// Readable while an interrupt is pending (-1 where there is none).
int InterruptFd();

}  // namespace pdutool
