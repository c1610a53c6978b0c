#include "support/PtyVci.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/eventfd.h>
#include <termios.h>
#include <unistd.h>

#include <mutex>
#include <stdexcept>
#include <thread>

namespace pdu::test {

struct PtyVci::Pty {
  int master = -1;
  int slaveHold = -1;  // keeps the slave open so the master never sees a hang-up early
  int wake = -1;       // eventfd that stops the thread
  std::string path;
  std::thread thread;
  std::mutex writeMu;

  void WriteAll(const uint8_t* p, size_t n) {
    std::lock_guard<std::mutex> lock(writeMu);
    while (n > 0 && master >= 0) {
      ssize_t w = ::write(master, p, n);
      if (w > 0) {
        p += w;
        n -= static_cast<size_t>(w);
      } else if (w < 0 && (errno == EINTR || errno == EAGAIN)) {
        pollfd pfd{master, POLLOUT, 0};
        ::poll(&pfd, 1, 100);
      } else {
        return;
      }
    }
  }

  void Run(TestVci& vci) {
    uint8_t buf[4096];
    for (;;) {
      pollfd fds[2] = {{master, POLLIN, 0}, {wake, POLLIN, 0}};
      int rc = ::poll(fds, 2, -1);
      if (rc < 0) {
        if (errno == EINTR) continue;
        return;
      }
      if (fds[1].revents != 0) return;
      if ((fds[0].revents & (POLLIN | POLLHUP | POLLERR)) == 0) continue;
      ssize_t n = ::read(master, buf, sizeof buf);
      if (n <= 0) {
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        return;  // the slave side is gone for good
      }
      vci.FeedFromHost(buf, static_cast<size_t>(n));
    }
  }

  void Stop() {
    if (thread.joinable()) {
      uint64_t one = 1;
      [[maybe_unused]] ssize_t w = ::write(wake, &one, sizeof one);
      thread.join();
    }
  }
};

PtyVci::PtyVci() : p_(std::make_unique<Pty>()) {
  p_->master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (p_->master < 0 || ::grantpt(p_->master) != 0 || ::unlockpt(p_->master) != 0)
    throw std::runtime_error("posix_openpt failed");
  char name[128];
  if (::ptsname_r(p_->master, name, sizeof name) != 0) throw std::runtime_error("ptsname failed");
  p_->path = name;
  p_->slaveHold = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (p_->slaveHold < 0) throw std::runtime_error("open slave failed");
  // Raw from the start, so nothing the VCI writes is echoed or translated
  // even before the library configures the port.
  termios tio{};
  ::tcgetattr(p_->slaveHold, &tio);
  ::cfmakeraw(&tio);
  ::tcsetattr(p_->slaveHold, TCSANOW, &tio);
  p_->wake = ::eventfd(0, EFD_CLOEXEC);
  SetOutput([p = p_.get()](const uint8_t* d, size_t n) { p->WriteAll(d, n); });
  p_->thread = std::thread([this] { p_->Run(*this); });
}

PtyVci::~PtyVci() {
  p_->Stop();
  SetOutput(nullptr);
  if (p_->master >= 0) ::close(p_->master);
  if (p_->slaveHold >= 0) ::close(p_->slaveHold);
  if (p_->wake >= 0) ::close(p_->wake);
}

const std::string& PtyVci::Path() const { return p_->path; }

void PtyVci::HangUp() {
  p_->Stop();
  std::lock_guard<std::mutex> lock(p_->writeMu);
  if (p_->master >= 0) {
    ::close(p_->master);
    p_->master = -1;
  }
}

}  // namespace pdu::test
