#include "support/PtyVci.h"

#include <errno.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <mutex>
#include <stdexcept>
#include <thread>

#include "PtyPair.h"

namespace pdu::test {

struct PtyVci::Pty {
  vcisim::PtyPair pair;
  int wake = -1;  // eventfd that stops the thread
  std::thread thread;
  std::mutex writeMu;

  void WriteAll(const uint8_t* p, size_t n) {
    std::lock_guard<std::mutex> lock(writeMu);
    pair.Write(p, n);
  }

  void Run(TestVci& vci) {
    uint8_t buf[4096];
    for (;;) {
      pollfd fds[2] = {{pair.Master(), POLLIN, 0}, {wake, POLLIN, 0}};
      int rc = ::poll(fds, 2, -1);
      if (rc < 0) {
        if (errno == EINTR) continue;
        return;
      }
      if (fds[1].revents != 0) return;
      if ((fds[0].revents & (POLLIN | POLLHUP | POLLERR)) == 0) continue;
      ssize_t n = ::read(pair.Master(), buf, sizeof buf);
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
  std::string error;
  if (!p_->pair.Open(error)) throw std::runtime_error(error);
  p_->wake = ::eventfd(0, EFD_CLOEXEC);
  SetOutput([p = p_.get()](const uint8_t* d, size_t n) { p->WriteAll(d, n); });
  p_->thread = std::thread([this] { p_->Run(*this); });
}

PtyVci::~PtyVci() {
  p_->Stop();
  SetOutput(nullptr);
  if (p_->wake >= 0) ::close(p_->wake);
}

const std::string& PtyVci::Path() const { return p_->pair.SlavePath(); }

void PtyVci::HangUp() {
  p_->Stop();
  std::lock_guard<std::mutex> lock(p_->writeMu);
  p_->pair.HangUp();
}

}  // namespace pdu::test
