// Linux serial port: termios2 for the non-standard 1,500,000 baud, poll()
// for blocking reads and writes, and an eventfd that Cancel makes readable
// so that a blocked poll returns at once.
#include "platform/SerialPort.h"

#include <asm/termbits.h>  // struct termios2, BOTHER, TCGETS2/TCSETS2
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <linux/serial.h>  // struct serial_struct, ASYNC_LOW_LATENCY
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cstring>

namespace pdu::platform {
namespace {

constexpr unsigned kBaudRate = 1500000;

// poll() on the port and the cancel eventfd. Returns the port's revents,
// 0 on timeout, -1 when cancelled, -2 on a poll failure (errno kept).
int WaitPort(int fd, int cancelFd, short events, uint32_t timeoutMs) {
  pollfd fds[2] = {{fd, events, 0}, {cancelFd, POLLIN, 0}};
  for (;;) {
    int rc = ::poll(fds, 2, static_cast<int>(timeoutMs));
    if (rc < 0) {
      if (errno == EINTR) continue;  // a signal; the timeout restarts, which only lengthens it
      return -2;
    }
    if (rc == 0) return 0;
    if (fds[1].revents != 0) return -1;
    return fds[0].revents;
  }
}

}  // namespace

struct SerialPort::Impl {
  int fd = -1;
  // Created once per object; readable (counter > 0) once Cancel was called.
  // Open drains it again.
  int cancelFd = -1;
  std::string path;
  bool busy = false;
  std::atomic<int> lastError{0};
  std::atomic<const char*> lastCall{""};

  void Fail(const char* call) {
    lastError.store(errno);
    lastCall.store(call);
  }
};

SerialPort::SerialPort() : impl_(std::make_unique<Impl>()) {
  impl_->cancelFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (impl_->cancelFd < 0) impl_->Fail("eventfd");
}

SerialPort::~SerialPort() {
  Close();
  if (impl_->cancelFd >= 0) ::close(impl_->cancelFd);
}

bool SerialPort::Open(const std::string& path) {
  Close();
  impl_->path = path;
  impl_->busy = false;
  if (impl_->cancelFd < 0) {
    errno = EBADF;
    impl_->Fail("eventfd");
    return false;
  }
  uint64_t drained = 0;
  while (::read(impl_->cancelFd, &drained, sizeof drained) > 0) {
  }
  int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    // EBUSY: another program set TIOCEXCL on it.
    impl_->busy = errno == EBUSY;
    impl_->Fail("open");
    return false;
  }
  // Exclusive use. TIOCEXCL makes every further open of the tty fail with
  // EBUSY - except root's, so an advisory lock as well: every program that
  // opens its port through this class (and pdutool doctor) takes it first,
  // root or not, and gives up when another one holds it. The lock belongs
  // to this open file description and goes with the close.
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    impl_->busy = errno == EWOULDBLOCK;
    impl_->Fail("flock");
    ::close(fd);
    return false;
  }
  if (::ioctl(fd, TIOCEXCL) != 0) {
    impl_->Fail("ioctl(TIOCEXCL)");
    ::close(fd);
    return false;
  }
  impl_->fd = fd;
  return true;
}

bool SerialPort::Busy() const { return impl_->busy; }

bool SerialPort::Configure() {
  if (impl_->fd < 0) {
    errno = EBADF;
    impl_->Fail("Configure");
    return false;
  }
  termios2 tio{};
  if (::ioctl(impl_->fd, TCGETS2, &tio) != 0) {
    impl_->Fail("ioctl(TCGETS2)");
    return false;
  }
  // Raw: no input translation, no output processing, no echo, no signals.
  tio.c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR |
                                         ICRNL | IXON | IXOFF | IXANY);
  tio.c_oflag &= ~static_cast<tcflag_t>(OPOST);
  tio.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
  // 8N1, receiver on, modem lines not hung up on close, no RTS/CTS.
  tio.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | CSTOPB | CRTSCTS | CBAUD | (CBAUD << IBSHIFT));
  tio.c_cflag |= CS8 | CREAD | CLOCAL | BOTHER | (BOTHER << IBSHIFT);
  tio.c_ispeed = kBaudRate;
  tio.c_ospeed = kBaudRate;
  // Reads are driven by poll(); a read returns what is there.
  tio.c_cc[VMIN] = 0;
  tio.c_cc[VTIME] = 0;
  if (::ioctl(impl_->fd, TCSETS2, &tio) != 0) {
    impl_->Fail("ioctl(TCSETS2)");
    return false;
  }
  return true;
}

namespace {

SerialPort::LineStatus ModemLine(int fd, int bit, bool on) {
  if (fd < 0) {
    errno = EBADF;
    return SerialPort::LineStatus::kError;
  }
  int bits = bit;
  if (::ioctl(fd, on ? TIOCMBIS : TIOCMBIC, &bits) == 0) return SerialPort::LineStatus::kOk;
  // A pseudo-terminal has no modem lines.
  if (errno == ENOTTY || errno == EINVAL) return SerialPort::LineStatus::kNotSupported;
  return SerialPort::LineStatus::kError;
}

}  // namespace

SerialPort::LineStatus SerialPort::SetDtr(bool on) {
  const LineStatus status = ModemLine(impl_->fd, TIOCM_DTR, on);
  if (status != LineStatus::kOk) impl_->Fail(on ? "ioctl(TIOCMBIS DTR)" : "ioctl(TIOCMBIC DTR)");
  return status;
}

SerialPort::LineStatus SerialPort::SetRts(bool on) {
  const LineStatus status = ModemLine(impl_->fd, TIOCM_RTS, on);
  if (status != LineStatus::kOk) impl_->Fail(on ? "ioctl(TIOCMBIS RTS)" : "ioctl(TIOCMBIC RTS)");
  return status;
}

SerialPort::LineStatus SerialPort::SetLowLatency() {
  if (impl_->fd < 0) {
    errno = EBADF;
    impl_->Fail("SetLowLatency");
    return LineStatus::kError;
  }
  serial_struct info{};
  if (::ioctl(impl_->fd, TIOCGSERIAL, &info) != 0) {
    // Not a serial driver (a pseudo-terminal) or one without the call.
    impl_->Fail("ioctl(TIOCGSERIAL)");
    return errno == ENOTTY || errno == EINVAL ? LineStatus::kNotSupported : LineStatus::kError;
  }
  if ((info.flags & ASYNC_LOW_LATENCY) != 0) return LineStatus::kOk;
  info.flags |= ASYNC_LOW_LATENCY;
  if (::ioctl(impl_->fd, TIOCSSERIAL, &info) != 0) {
    impl_->Fail("ioctl(TIOCSSERIAL)");
    return errno == ENOTTY || errno == EINVAL || errno == EOPNOTSUPP ? LineStatus::kNotSupported
                                                                     : LineStatus::kError;
  }
  // Some drivers accept the call and ignore the flag: only a flag that
  // reads back set counts.
  if (::ioctl(impl_->fd, TIOCGSERIAL, &info) == 0 && (info.flags & ASYNC_LOW_LATENCY) == 0) {
    errno = EOPNOTSUPP;
    impl_->Fail("ioctl(TIOCSSERIAL)");
    return LineStatus::kNotSupported;
  }
  return LineStatus::kOk;
}

size_t SerialPort::Write(const uint8_t* data, size_t count, uint32_t timeoutMs) {
  if (impl_->fd < 0) {
    errno = EBADF;
    impl_->Fail("write");
    return 0;
  }
  size_t done = 0;
  timespec start{};
  clock_gettime(CLOCK_MONOTONIC, &start);
  const auto elapsedMs = [&start]() -> uint64_t {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    const int64_t ns = (static_cast<int64_t>(now.tv_sec) - start.tv_sec) * 1000000000 +
                       (now.tv_nsec - start.tv_nsec);
    return static_cast<uint64_t>(ns / 1000000);
  };
  while (done < count) {
    ssize_t n = ::write(impl_->fd, data + done, count - done);
    if (n > 0) {
      done += static_cast<size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno != EAGAIN) {
      impl_->Fail("write");
      break;
    }
    // The driver's buffer is full: wait for room, as the overlapped write
    // waits for its completion.
    const uint64_t spent = elapsedMs();
    const uint32_t left = spent >= timeoutMs ? 0 : static_cast<uint32_t>(timeoutMs - spent);
    int ev = left > 0 ? WaitPort(impl_->fd, impl_->cancelFd, POLLOUT, left) : 0;
    if (ev <= 0 || (ev & (POLLERR | POLLHUP | POLLNVAL)) != 0) {
      if (ev == 0) errno = ETIMEDOUT;
      if (ev == -1) errno = ECANCELED;
      impl_->Fail("poll(POLLOUT)");
      break;
    }
  }
  return done;
}

SerialPort::ReadStatus SerialPort::Read(uint8_t* buf, size_t capacity, size_t& count,
                                        uint32_t timeoutMs) {
  count = 0;
  if (impl_->fd < 0) return ReadStatus::kCancelled;
  int ev = WaitPort(impl_->fd, impl_->cancelFd, POLLIN, timeoutMs);
  if (ev == -1) return ReadStatus::kCancelled;
  if (ev == 0) return ReadStatus::kTimeout;
  if (ev == -2) {
    impl_->Fail("poll(POLLIN)");
    return ReadStatus::kError;
  }
  if ((ev & POLLNVAL) != 0) {
    errno = EBADF;
    impl_->Fail("poll(POLLIN)");
    return ReadStatus::kFatal;
  }
  // Data first: a hang-up may come with the last bytes still buffered.
  ssize_t n = ::read(impl_->fd, buf, capacity);
  if (n > 0) {
    count = static_cast<size_t>(n);
    return ReadStatus::kData;
  }
  if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
    if ((ev & POLLHUP) == 0) return ReadStatus::kError;
    errno = EIO;
  }
  if (n == 0) errno = EIO;  // end of file on a tty: the other side hung up
  impl_->Fail("read");
  if (errno == EIO || errno == ENXIO || errno == ENODEV || (ev & (POLLHUP | POLLERR)) != 0)
    return ReadStatus::kFatal;
  return ReadStatus::kError;
}

void SerialPort::Cancel() {
  if (impl_->cancelFd < 0) return;
  uint64_t one = 1;
  // Cannot block (EFD_NONBLOCK); the counter cannot overflow in practice.
  [[maybe_unused]] ssize_t rc = ::write(impl_->cancelFd, &one, sizeof one);
}

void SerialPort::Close() {
  if (impl_->fd >= 0) {
    ::ioctl(impl_->fd, TIOCNXCL);
    ::close(impl_->fd);
    impl_->fd = -1;
  }
}

bool SerialPort::IsOpen() const { return impl_->fd >= 0; }

const std::string& SerialPort::Path() const { return impl_->path; }

int SerialPort::LastError() const { return impl_->lastError.load(); }

const char* SerialPort::LastErrorCall() const { return impl_->lastCall.load(); }

}  // namespace pdu::platform
