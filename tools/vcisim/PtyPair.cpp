#include "PtyPair.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <string.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

namespace vcisim {

PtyPair::~PtyPair() { HangUp(); }

bool PtyPair::Open(std::string& error) {
  master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0) {
    error = std::string("cannot create a pseudo-terminal: ") + strerror(errno);
    return false;
  }
  const char* name = ptsname(master_);
  if (name == nullptr) {
    error = std::string("ptsname: ") + strerror(errno);
    return false;
  }
  slavePath_ = name;
  slaveHold_ = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (slaveHold_ < 0) {
    error = "cannot open " + slavePath_ + ": " + strerror(errno);
    return false;
  }
  termios tio{};
  if (tcgetattr(slaveHold_, &tio) == 0) {
    cfmakeraw(&tio);
    tcsetattr(slaveHold_, TCSANOW, &tio);
  }
  // A library that stopped reading must not block the simulator.
  fcntl(master_, F_SETFL, fcntl(master_, F_GETFL) | O_NONBLOCK);
  // Every close of the slave by a client (the hold above stays open).
  closeWatch_ = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  if (closeWatch_ >= 0 && inotify_add_watch(closeWatch_, name, IN_CLOSE_WRITE | IN_CLOSE_NOWRITE) < 0) {
    ::close(closeWatch_);
    closeWatch_ = -1;
  }
  return true;
}

void PtyPair::EndExclusiveUse() {
  alignas(inotify_event) char events[4096];
  while (closeWatch_ >= 0 && ::read(closeWatch_, events, sizeof events) > 0) {
  }
  if (slaveHold_ >= 0) ::ioctl(slaveHold_, TIOCNXCL);
}

void PtyPair::HangUp() {
  if (master_ >= 0) ::close(master_);
  if (slaveHold_ >= 0) ::close(slaveHold_);
  if (closeWatch_ >= 0) ::close(closeWatch_);
  master_ = -1;
  slaveHold_ = -1;
  closeWatch_ = -1;
}

size_t PtyPair::Write(const uint8_t* bytes, size_t count, bool byteByByte) {
  size_t done = 0;
  while (done < count && master_ >= 0) {
    ssize_t w = ::write(master_, bytes + done, byteByByte ? 1 : count - done);
    if (w > 0) {
      done += static_cast<size_t>(w);
      if (byteByByte && done < count) {
        timespec pause{0, 200 * 1000};
        nanosleep(&pause, nullptr);
      }
      continue;
    }
    if (w < 0 && errno == EINTR) continue;
    if (w < 0 && errno == EAGAIN) {
      pollfd pfd{master_, POLLOUT, 0};
      if (::poll(&pfd, 1, 200) > 0) continue;
    }
    break;
  }
  return count - done;
}

}  // namespace vcisim
