#include "Signals.h"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <thread>

#include "Client.h"

namespace pdutool {

namespace {

std::atomic<bool> g_stop{false};
std::atomic<bool> g_interruptMode{false};
std::atomic<bool> g_interrupt{false};
int g_stopPipe[2] = {-1, -1};
// One byte per pending interrupt; drained by TakeInterrupt. Non-blocking
// so that the watcher never waits on a full pipe.
int g_interruptPipe[2] = {-1, -1};

void Poke(int fd) {
  char c = 1;
  ssize_t ignored = ::write(fd, &c, 1);
  (void)ignored;
}

void Watch(sigset_t set) {
  for (;;) {
    int sig = 0;
    if (sigwait(&set, &sig) != 0) continue;
    if (sig == SIGINT && g_interruptMode && !g_stop) {
      g_interrupt = true;
      Poke(g_interruptPipe[1]);
      WakeEventWaiters();
      continue;
    }
    if (g_stop) _exit(kExitStopped);
    g_stop = true;
    Poke(g_stopPipe[1]);
    WakeEventWaiters();
  }
}

}  // namespace

bool StopRequested() { return g_stop; }

int StopFd() { return g_stopPipe[0]; }

void SetInterruptMode(bool on) { g_interruptMode = on; }

bool InterruptPending() { return g_interrupt; }

int InterruptFd() { return g_interruptPipe[0]; }

bool TakeInterrupt() {
  if (!g_interrupt.exchange(false)) return false;
  char buf[64];
  while (::read(g_interruptPipe[0], buf, sizeof buf) > 0) {
  }
  return true;
}

void StartSignalWatcher() {
  if (::pipe(g_stopPipe) != 0) return;
  if (::pipe(g_interruptPipe) != 0) return;
  for (int fd : g_interruptPipe) ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
  for (int fd : {g_stopPipe[0], g_stopPipe[1], g_interruptPipe[0], g_interruptPipe[1]}) {
    ::fcntl(fd, F_SETFD, FD_CLOEXEC);
  }
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
  std::thread(Watch, set).detach();
}

}  // namespace pdutool
