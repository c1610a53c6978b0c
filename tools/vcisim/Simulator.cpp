#include "Simulator.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>

#include "Trace.h"

namespace vcisim {

using namespace pdu::device;

namespace {

uint64_t MonotonicNs() {
  return static_cast<uint64_t>(
      std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
          .count());
}

// The pause between two bytes of a split write: long enough that the
// library's reader sees them in separate reads.
constexpr long kSplitPauseNs = 200 * 1000;
constexpr uint32_t kUnplugGraceMs = 50;

}  // namespace

PtyPair::~PtyPair() { HangUp(); }

bool PtyPair::Open(std::string& error) {
  master_ = posix_openpt(O_RDWR | O_NOCTTY);
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
  slaveHold_ = ::open(name, O_RDWR | O_NOCTTY);
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
  return true;
}

void PtyPair::HangUp() {
  if (master_ >= 0) ::close(master_);
  if (slaveHold_ >= 0) ::close(slaveHold_);
  master_ = -1;
  slaveHold_ = -1;
}

Simulator::Simulator(const Scenario& scenario, SimOptions options)
    : device_(scenario, options.device), options_(std::move(options)), startNs_(MonotonicNs()) {}

Simulator::~Simulator() {
  if (linked_) ::unlink(options_.linkPath.c_str());
}

bool Simulator::Start(std::string& error) {
  if (!pty_.Open(error)) return false;
  if (!options_.linkPath.empty()) {
    struct stat st {};
    if (::lstat(options_.linkPath.c_str(), &st) == 0) {
      if (!S_ISLNK(st.st_mode)) {
        error = options_.linkPath + " exists and is not a symbolic link";
        return false;
      }
      ::unlink(options_.linkPath.c_str());
    }
    if (::symlink(pty_.SlavePath().c_str(), options_.linkPath.c_str()) != 0) {
      error = "cannot link " + options_.linkPath + ": " + strerror(errno);
      return false;
    }
    linked_ = true;
  }
  return true;
}

uint32_t Simulator::NowMs() const { return static_cast<uint32_t>((MonotonicNs() - startNs_) / 1000000); }

void Simulator::Trace(const std::string& line) {
  if (!options_.trace) return;
  uint64_t us = (MonotonicNs() - startNs_) / 1000;
  std::printf("[%5llu.%03llu] %s\n", static_cast<unsigned long long>(us / 1000000),
              static_cast<unsigned long long>((us / 1000) % 1000), line.c_str());
  std::fflush(stdout);
}

int Simulator::Run(int stopFd) {
  uint8_t chunk[4096];
  while (!unplugged_) {
    int timeout = -1;
    if (!schedule_.empty() || unplugAtMs_ != 0) {
      uint32_t now = NowMs();
      uint32_t due = schedule_.empty() ? unplugAtMs_ : schedule_.begin()->first;
      if (unplugAtMs_ != 0 && unplugAtMs_ < due) due = unplugAtMs_;
      timeout = due > now ? static_cast<int>(due - now) : 0;
    }
    pollfd fds[2] = {{pty_.Master(), POLLIN, 0}, {stopFd, POLLIN, 0}};
    int n = ::poll(fds, 2, timeout);
    if (n < 0 && errno != EINTR) {
      std::fprintf(stderr, "vcisim: poll: %s\n", strerror(errno));
      return 1;
    }
    if (n > 0 && (fds[1].revents & (POLLIN | POLLHUP))) break;
    if (n > 0 && (fds[0].revents & POLLIN)) {
      ssize_t got = ::read(pty_.Master(), chunk, sizeof chunk);
      if (got > 0) {
        splitter_.Push(chunk, static_cast<size_t>(got),
                       [this](const uint8_t* seg, size_t len) { OnSegment(seg, len); });
      }
    }
    if (!unplugged_) EmitDue();
    if (unplugAtMs_ != 0 && NowMs() >= unplugAtMs_) Unplug();
  }
  return 0;
}

void Simulator::OnSegment(const uint8_t* segment, size_t length) {
  if (unplugged_ || unplugAtMs_ != 0) return;  // the adapter is going away
  uint8_t frame[kMaxBuiltFrame];
  size_t n = UnstuffFrame(segment, length, frame, sizeof frame);
  if (n == 0 || !CheckFrame(frame, n)) {
    Trace("PC->VCI  bad frame dropped: " + HexSpaced(segment, length));
    return;
  }
  ++received_;
  const uint8_t channel = frame[kFrameOffChannel];
  const uint8_t command = frame[kFrameOffCommand];
  Bytes data(frame + kFrameOffData, frame + kFrameOffData + FrameDataLength(frame));
  Trace(DescribeFrame(true, channel, frame[4], command, data));

  if (options_.faults.silentAfter != 0 && received_ > options_.faults.silentAfter) {
    Trace("         (silent: not answered)");
    return;
  }
  const uint32_t now = NowMs();
  // A closed VCI forgets what it was still going to say.
  if (command == VCI_CMD_CLOSE) schedule_.clear();
  for (OutFrame& out : device_.OnFrame(channel, command, data, now)) {
    Scheduled s{out.channel, out.command, std::move(out.data), std::move(out.note)};
    if (out.delayMs == 0) {
      Emit(s);
    } else {
      schedule_.emplace(now + out.delayMs, std::move(s));
    }
  }
  if (options_.faults.unplugAfter != 0 && received_ == options_.faults.unplugAfter) {
    // Give the answers just written a moment to reach the reader: closing
    // the master discards what the slave has not read yet.
    unplugAtMs_ = now + kUnplugGraceMs;
  }
}

void Simulator::Unplug() {
  Trace("         unplugged: closing the port");
  pty_.HangUp();
  schedule_.clear();
  unplugged_ = true;
}

void Simulator::EmitDue() {
  uint32_t now = NowMs();
  while (!schedule_.empty() && schedule_.begin()->first <= now) {
    Scheduled s = std::move(schedule_.begin()->second);
    schedule_.erase(schedule_.begin());
    Emit(s);
  }
}

void Simulator::Emit(const Scheduled& s) {
  if (s.command == 0) {
    Trace("         " + s.note);
    return;
  }
  const uint8_t seq = static_cast<uint8_t>(s.channel == kChannelManagement ? ++seqManagement_ : ++seqVehicle_);
  uint8_t frame[kMaxBuiltFrame];
  size_t n = BuildFrame(s.channel, seq, s.command, s.data.data(), s.data.size(), frame, sizeof frame);
  if (n == 0) {
    Trace("VCI->PC  frame too large, not sent");
    return;
  }
  ++sent_;
  std::string line = DescribeFrame(false, s.channel, seq, s.command, s.data);
  if (!s.note.empty()) line += "  (" + s.note + ")";
  const FaultOptions& f = options_.faults;
  if (f.dropEvery != 0 && sent_ % f.dropEvery == 0) {
    Trace(line + "  [dropped]");
    return;
  }
  if (f.corruptEvery != 0 && sent_ % f.corruptEvery == 0) {
    frame[n - 2] ^= 0x5A;  // the checksum byte
    line += "  [bad checksum]";
  }
  uint8_t stuffed[2 * kMaxBuiltFrame + 16];
  size_t m = StuffFrame(frame, n, stuffed, sizeof stuffed);
  if (f.garbageEvery != 0 && sent_ % f.garbageEvery == 0) {
    // Stray bytes as a noisy line would bring, never a flag.
    uint8_t garbage[8];
    size_t count = 1 + random_ % 8;
    for (size_t i = 0; i < count; ++i) {
      random_ ^= random_ << 13;
      random_ ^= random_ >> 17;
      random_ ^= random_ << 5;
      garbage[i] = static_cast<uint8_t>(random_);
      if (garbage[i] == kFrameFlag) garbage[i] = 0x55;
    }
    line += "  [after " + std::to_string(count) + " garbage bytes]";
    Trace(line);
    WriteAll(garbage, count);
  } else {
    Trace(line);
  }
  WriteAll(stuffed, m);
}

void Simulator::WriteAll(const uint8_t* bytes, size_t count) {
  const size_t step = options_.faults.splitWrites ? 1 : count;
  size_t done = 0;
  while (done < count && pty_.Master() >= 0) {
    ssize_t w = ::write(pty_.Master(), bytes + done, std::min(step, count - done));
    if (w > 0) {
      done += static_cast<size_t>(w);
      if (options_.faults.splitWrites && done < count) {
        timespec pause{0, kSplitPauseNs};
        nanosleep(&pause, nullptr);
      }
      continue;
    }
    if (w < 0 && errno == EINTR) continue;
    if (w < 0 && errno == EAGAIN) {
      // Nobody reads the port: wait a little, then give the frame up.
      pollfd pfd{pty_.Master(), POLLOUT, 0};
      if (::poll(&pfd, 1, 200) > 0) continue;
    }
    Trace("VCI->PC  write failed, " + std::to_string(count - done) + " bytes not sent");
    return;
  }
}

}  // namespace vcisim
