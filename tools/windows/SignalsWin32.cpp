// pdutool's signal handling on Windows (Signals.h): no sigwait here, the
// handler only sets the flag (lock-free atomic); the waits notice it at
// their next wake-up. The Windows build has no shell, so there is no
// interrupt mode.
#include <signal.h>

#include <atomic>
#include <cstdlib>

#include "Signals.h"

namespace pdutool {

namespace {

std::atomic<bool> g_stop{false};

void OnSignal(int) {
  if (g_stop.exchange(true)) std::_Exit(kExitStopped);
  signal(SIGINT, OnSignal);
}

}  // namespace

bool StopRequested() { return g_stop; }

int StopFd() { return -1; }

void SetInterruptMode(bool) {}

bool InterruptPending() { return false; }

bool TakeInterrupt() { return false; }

int InterruptFd() { return -1; }

void StartSignalWatcher() {
  signal(SIGINT, OnSignal);
  signal(SIGTERM, OnSignal);
}

}  // namespace pdutool
