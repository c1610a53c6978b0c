// Ending a run on SIGINT/SIGTERM without leaving the VCI with open links.
//
// The two signals are blocked in every thread (the library's threads
// inherit the mask, since the watcher starts before the library is loaded)
// and taken by one watcher thread with sigwait, so no code runs inside a
// signal handler. The first signal sets the stop flag and wakes whatever
// pdutool waits on (an event wait, the shell's line reader); the main
// thread then closes down in order (STOPCOMM, PDUDisconnect,
// PDUDestroyComLogicalLink, PDUModuleDisconnect, PDUDestruct). The second
// signal ends the process at once (exit status 130).
#pragma once

namespace pdutool {

void StartSignalWatcher();
bool StopRequested();
// Readable once a stop was requested (for poll() next to a terminal).
int StopFd();
// Exit status of a run that was stopped by a signal.
inline constexpr int kExitStopped = 130;

}  // namespace pdutool
