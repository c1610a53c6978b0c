#include "BenchVci.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <stdlib.h>
#include <sys/eventfd.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <cstring>

namespace pdubench {

using namespace pdu::device;

namespace {

void PutWord(uint8_t* p, uint32_t w) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(w >> (8 * i));
}

uint32_t GetWord(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
         static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

// Offset of the request bytes in a COP payload: hMod, hCLL, type, length.
constexpr size_t kCopRequestOffset = 16;
// Offset of the message in a vehicle-data payload: status, word,
// UniqueRespIdentifier, NumDataBytes.
constexpr size_t kVehicleMessageOffset = 16;

}  // namespace

BenchVci::~BenchVci() { Stop(); }

bool BenchVci::Start(std::string& error) {
  master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (master_ < 0 || ::grantpt(master_) != 0 || ::unlockpt(master_) != 0) {
    error = std::string("cannot create a pseudo-terminal: ") + std::strerror(errno);
    return false;
  }
  char name[128];
  if (::ptsname_r(master_, name, sizeof name) != 0) {
    error = std::string("ptsname: ") + std::strerror(errno);
    return false;
  }
  slavePath_ = name;
  // Held open so that the master never reads a hang-up while the library
  // has the port closed (between two constructions), and raw before the
  // library configures it.
  slaveHold_ = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (slaveHold_ < 0) {
    error = "cannot open " + slavePath_ + ": " + std::strerror(errno);
    return false;
  }
  termios tio{};
  if (::tcgetattr(slaveHold_, &tio) == 0) {
    ::cfmakeraw(&tio);
    ::tcsetattr(slaveHold_, TCSANOW, &tio);
  }
  // A library that stopped reading must not block the simulator.
  ::fcntl(master_, F_SETFL, ::fcntl(master_, F_GETFL) | O_NONBLOCK);
  stopFd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (stopFd_ < 0) {
    error = std::string("eventfd: ") + std::strerror(errno);
    return false;
  }
  thread_ = std::thread([this] { Run(); });
  return true;
}

void BenchVci::Stop() {
  if (thread_.joinable()) {
    uint64_t one = 1;
    [[maybe_unused]] ssize_t rc = ::write(stopFd_, &one, sizeof one);
    thread_.join();
  }
  for (int* fd : {&master_, &slaveHold_, &stopFd_}) {
    if (*fd >= 0) ::close(*fd);
    *fd = -1;
  }
}

uint64_t BenchVci::CpuMicros() const {
  if (!thread_.joinable()) return 0;
  clockid_t clock;
  // native_handle() is not const; the handle itself does not change.
  auto& t = const_cast<std::thread&>(thread_);
  if (::pthread_getcpuclockid(t.native_handle(), &clock) != 0) return 0;
  timespec ts{};
  if (::clock_gettime(clock, &ts) != 0) return 0;
  return static_cast<uint64_t>(ts.tv_sec) * 1000000u + static_cast<uint64_t>(ts.tv_nsec) / 1000u;
}

void BenchVci::Run() {
  tid_.store(static_cast<int>(::gettid()), std::memory_order_relaxed);
  uint8_t chunk[8192];
  pollfd fds[2] = {{master_, POLLIN, 0}, {stopFd_, POLLIN, 0}};
  for (;;) {
    if (::poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      return;
    }
    if (fds[1].revents != 0) return;
    if ((fds[0].revents & (POLLIN | POLLHUP | POLLERR)) == 0) continue;
    const ssize_t n = ::read(master_, chunk, sizeof chunk);
    if (n <= 0) {
      if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
      // EIO: no slave is open right now. Wait for the stop or a reopen
      // without spinning on the hang-up.
      ::poll(&fds[1], 1, 10);
      if (fds[1].revents != 0) return;
      continue;
    }
    splitter_.Push(chunk, static_cast<size_t>(n),
                   [this](const uint8_t* seg, size_t len) { OnSegment(seg, len); });
    Flush();
  }
}

void BenchVci::OnSegment(const uint8_t* segment, size_t length) {
  const size_t n = UnstuffFrame(segment, length, frame_, sizeof frame_);
  if (n == 0 || !CheckFrame(frame_, n)) return;
  const uint8_t channel = frame_[kFrameOffChannel];
  const uint8_t command = frame_[kFrameOffCommand];
  const uint8_t* data = frame_ + kFrameOffData;
  const size_t dataLen = FrameDataLength(frame_);

  uint8_t answer[kMaxStuffedFrame];
  if (channel == kChannelManagement) {
    std::memset(answer, 0, 16);
    Append(kChannelManagement, command, answer, 16);
    return;
  }
  PutWord(answer, 0);  // status: success
  if (command == VCI_CMD_OPEN) {
    PutWord(answer + 4, 0x00010002);
    Append(kChannelVehicle, command, answer, 8);
    return;
  }
  Append(kChannelVehicle, command, answer, 4);
  if (command != VCI_CMD_COP || dataLen < kCopRequestOffset + 5) return;

  // The request: 4 bytes of CAN identifier, then the service bytes.
  const size_t requestLen = GetWord(data + 12);
  if (requestLen < 5 || kCopRequestOffset + requestLen > dataLen) return;
  const uint8_t* request = data + kCopRequestOffset;
  const size_t serviceLen = requestLen - 4;
  const size_t messageLen = 4 + serviceLen + kResponseFill;
  if (kVehicleMessageOffset + messageLen > sizeof answer) return;

  PutWord(answer, 0);                                  // status
  PutWord(answer + 4, 0);                              // word
  PutWord(answer + 8, 1);                              // UniqueRespIdentifier
  PutWord(answer + 12, static_cast<uint32_t>(messageLen));
  uint8_t* m = answer + kVehicleMessageOffset;
  PutWord(m, GetWord(request) + 8);                    // response identifier
  m[4] = static_cast<uint8_t>(request[4] + 0x40);      // positive response
  std::memcpy(m + 5, request + 5, serviceLen - 1);
  std::memset(m + 4 + serviceLen, 'A', kResponseFill);
  Append(kChannelVehicle, VCI_CMD_VEHICLE_DATA, answer, kVehicleMessageOffset + messageLen);
  cops_.fetch_add(1, std::memory_order_relaxed);
}

void BenchVci::Append(uint8_t channel, uint8_t command, const uint8_t* data, size_t n) {
  const uint16_t seq = channel == kChannelManagement ? ++seqManagement_ : ++seqVehicle_;
  const size_t built =
      BuildFrame(channel, static_cast<uint8_t>(seq), command, data, n, built_, sizeof built_);
  if (built == 0) return;
  if (outLen_ + kMaxStuffedFrame > sizeof out_) Flush();
  outLen_ += StuffFrame(built_, built, out_ + outLen_, kMaxStuffedFrame);
}

void BenchVci::Flush() {
  size_t done = 0;
  while (done < outLen_) {
    const ssize_t w = ::write(master_, out_ + done, outLen_ - done);
    if (w > 0) {
      done += static_cast<size_t>(w);
    } else if (w < 0 && errno == EINTR) {
      continue;
    } else if (w < 0 && errno == EAGAIN) {
      pollfd p{master_, POLLOUT, 0};
      if (::poll(&p, 1, 100) <= 0) break;  // nobody reads: drop the answers
    } else {
      break;
    }
  }
  outLen_ = 0;
}

}  // namespace pdubench
