#include "Signals.h"

#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <thread>
#ifndef _WIN32
#include <pthread.h>
#endif

#include "Client.h"

namespace pdutool {

namespace {

std::atomic<bool> g_stop{false};
int g_stopPipe[2] = {-1, -1};

}  // namespace

bool StopRequested() { return g_stop; }

int StopFd() { return g_stopPipe[0]; }

#ifdef _WIN32

namespace {

// No sigwait here: the handler only sets the flag (lock-free atomic); the
// waits notice it at their next wake-up.
void OnSignal(int) {
  if (g_stop.exchange(true)) std::_Exit(kExitStopped);
  signal(SIGINT, OnSignal);
}

}  // namespace

void StartSignalWatcher() {
  signal(SIGINT, OnSignal);
  signal(SIGTERM, OnSignal);
}

#else

namespace {

void Watch(sigset_t set) {
  int sig = 0;
  sigwait(&set, &sig);
  g_stop = true;
  char c = 1;
  ssize_t ignored = ::write(g_stopPipe[1], &c, 1);
  (void)ignored;
  WakeEventWaiters();
  sigwait(&set, &sig);
  _exit(kExitStopped);
}

}  // namespace

void StartSignalWatcher() {
  if (::pipe(g_stopPipe) != 0) return;
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
  std::thread(Watch, set).detach();
}

#endif

}  // namespace pdutool
