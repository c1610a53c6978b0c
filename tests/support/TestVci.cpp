#include "support/TestVci.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/eventfd.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <stdexcept>
#include <thread>

#include "device/DeviceFrame.h"
#include "platform/Platform.h"

namespace pdu::test {

using namespace pdu::device;

struct TestVci::State {
  int master = -1;
  int slaveHold = -1;  // keeps the slave open so the master never sees a hang-up early
  int wake = -1;       // eventfd that stops the thread
  std::string path;
  std::thread thread;

  mutable std::mutex mu;
  mutable std::condition_variable frameArrived;
  std::vector<VciFrame> frames;
  size_t badFrames = 0;
  bool silent = false;
  std::map<uint8_t, uint32_t> status;
  std::map<uint8_t, Handler> handlers;
  std::map<uint8_t, std::deque<std::vector<VciReply>>> scripts;
  uint32_t openWord = 0x00010002;
  uint32_t batteryMv = 12600;
  uint32_t ignition = 1;

  std::mutex writeMu;  // master writes from the VCI thread and the test
  uint16_t seqManagement = 0;
  uint16_t seqVehicle = 0;

  FrameSplitter splitter;

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

  void SendFrame(uint8_t channel, uint8_t command, const Bytes& data) {
    uint8_t seq;
    {
      std::lock_guard<std::mutex> lock(writeMu);
      seq = static_cast<uint8_t>(channel == kChannelManagement ? ++seqManagement : ++seqVehicle);
    }
    Bytes wire = WireFrame(channel, seq, command, data);
    WriteAll(wire.data(), wire.size());
  }

  void OnSegment(const uint8_t* seg, size_t len, const TestVci& vci) {
    uint8_t frame[kMaxBuiltFrame];
    size_t n = UnstuffFrame(seg, len, frame, sizeof frame);
    if (n == 0 || !CheckFrame(frame, n)) {
      std::lock_guard<std::mutex> lock(mu);
      ++badFrames;
      return;
    }
    VciFrame f;
    f.channel = frame[kFrameOffChannel];
    f.sequence = frame[4];
    f.command = frame[kFrameOffCommand];
    f.data.assign(frame + kFrameOffData, frame + kFrameOffData + FrameDataLength(frame));
    f.frame.assign(frame, frame + n);
    f.wire.assign(seg, seg + len);
    f.tick = platform::GetTickCount();

    std::vector<VciReply> replies;
    Handler handler;
    bool scripted = false;
    {
      std::lock_guard<std::mutex> lock(mu);
      frames.push_back(f);
      frameArrived.notify_all();
      if (silent) return;
      auto sc = scripts.find(f.command);
      if (sc != scripts.end() && !sc->second.empty()) {
        replies = std::move(sc->second.front());
        sc->second.pop_front();
        scripted = true;
      } else if (auto h = handlers.find(f.command); h != handlers.end()) {
        handler = h->second;
      }
    }
    if (!scripted) replies = handler ? handler(f) : vci.DefaultReplies(f);
    for (const VciReply& r : replies) {
      if (r.delayMs > 0) platform::SleepMs(r.delayMs);
      SendFrame(r.channel, r.command, r.data);
    }
  }

  void Run(const TestVci& vci) {
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
      splitter.Push(buf, static_cast<size_t>(n),
                    [&](const uint8_t* seg, size_t len) { OnSegment(seg, len, vci); });
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

TestVci::TestVci() : s_(std::make_unique<State>()) {
  s_->master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (s_->master < 0 || ::grantpt(s_->master) != 0 || ::unlockpt(s_->master) != 0)
    throw std::runtime_error("posix_openpt failed");
  char name[128];
  if (::ptsname_r(s_->master, name, sizeof name) != 0) throw std::runtime_error("ptsname failed");
  s_->path = name;
  s_->slaveHold = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (s_->slaveHold < 0) throw std::runtime_error("open slave failed");
  // Raw from the start, so nothing the VCI writes is echoed or translated
  // even before the library configures the port.
  termios tio{};
  ::tcgetattr(s_->slaveHold, &tio);
  ::cfmakeraw(&tio);
  ::tcsetattr(s_->slaveHold, TCSANOW, &tio);
  s_->wake = ::eventfd(0, EFD_CLOEXEC);
  s_->thread = std::thread([this] { s_->Run(*this); });
}

TestVci::~TestVci() {
  s_->Stop();
  if (s_->master >= 0) ::close(s_->master);
  if (s_->slaveHold >= 0) ::close(s_->slaveHold);
  if (s_->wake >= 0) ::close(s_->wake);
}

const std::string& TestVci::Path() const { return s_->path; }

void TestVci::SetSilent(bool silent) {
  std::lock_guard<std::mutex> lock(s_->mu);
  s_->silent = silent;
}

void TestVci::SetStatus(uint8_t command, uint32_t status) {
  std::lock_guard<std::mutex> lock(s_->mu);
  s_->status[command] = status;
}

void TestVci::SetHandler(uint8_t command, Handler handler) {
  std::lock_guard<std::mutex> lock(s_->mu);
  s_->handlers[command] = std::move(handler);
}

void TestVci::Script(uint8_t command, std::vector<VciReply> replies) {
  std::lock_guard<std::mutex> lock(s_->mu);
  s_->scripts[command].push_back(std::move(replies));
}

void TestVci::SetOpenWord(uint32_t word) {
  std::lock_guard<std::mutex> lock(s_->mu);
  s_->openWord = word;
}

void TestVci::SetBatteryMillivolts(uint32_t mv) {
  std::lock_guard<std::mutex> lock(s_->mu);
  s_->batteryMv = mv;
}

void TestVci::SetIgnitionState(uint32_t state) {
  std::lock_guard<std::mutex> lock(s_->mu);
  s_->ignition = state;
}

std::vector<VciReply> TestVci::DefaultReplies(const VciFrame& f) const {
  uint32_t status = 0, openWord, battery, ignition;
  {
    std::lock_guard<std::mutex> lock(s_->mu);
    if (auto it = s_->status.find(f.command); it != s_->status.end()) status = it->second;
    openWord = s_->openWord;
    battery = s_->batteryMv;
    ignition = s_->ignition;
  }
  if (f.channel == kChannelManagement) {
    if (f.command != VCI_CMD_PROBE) return {};
    VciReply r{kChannelManagement, VCI_CMD_PROBE, Words({status, 0x7318}), 0};
    return {r};
  }
  switch (f.command) {
    case VCI_CMD_OPEN:
      return {Answer(f.command, status, {openWord})};
    case VCI_CMD_IOCTL: {
      const uint8_t sub = f.data.size() >= 9 ? f.data[8] : 0xFF;
      if (sub == 0x06) return {Answer(f.command, status, {0x1000, battery})};
      if (sub == 0x11) return {Answer(f.command, status, {ignition})};
      return {Answer(f.command, status)};
    }
    case VCI_CMD_CLOSE:
    case VCI_CMD_SET_LINK_RESOURCE:
    case VCI_CMD_DESTROY_LINK:
    case VCI_CMD_DISCONNECT_LINK:
    case VCI_CMD_SET_LINK_PARAM:
    case VCI_CMD_COP:
    case VCI_CMD_CONNECT_LINK:
    case VCI_CMD_MODULE_CONNECT:
    case VCI_CMD_MODULE_DISCONNECT:
      return {Answer(f.command, status)};
    default:
      return {};
  }
}

void TestVci::Send(uint8_t channel, uint8_t command, const Bytes& data) {
  s_->SendFrame(channel, command, data);
}

void TestVci::SendVehicleData(uint32_t status, uint32_t word, uint32_t uniqueId,
                              const Bytes& message) {
  VciReply r = VehicleData(status, word, uniqueId, message);
  s_->SendFrame(r.channel, r.command, r.data);
}

void TestVci::InjectRaw(const Bytes& bytes) { s_->WriteAll(bytes.data(), bytes.size()); }

void TestVci::HangUp() {
  s_->Stop();
  std::lock_guard<std::mutex> lock(s_->writeMu);
  if (s_->master >= 0) {
    ::close(s_->master);
    s_->master = -1;
  }
}

std::vector<VciFrame> TestVci::Frames() const {
  std::lock_guard<std::mutex> lock(s_->mu);
  return s_->frames;
}

std::vector<VciFrame> TestVci::FramesWithCommand(uint8_t command) const {
  std::lock_guard<std::mutex> lock(s_->mu);
  std::vector<VciFrame> out;
  for (const VciFrame& f : s_->frames)
    if (f.command == command) out.push_back(f);
  return out;
}

size_t TestVci::FrameCount() const {
  std::lock_guard<std::mutex> lock(s_->mu);
  return s_->frames.size();
}

bool TestVci::WaitForFrames(size_t count, uint32_t timeoutMs) const {
  std::unique_lock<std::mutex> lock(s_->mu);
  return s_->frameArrived.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                                   [&] { return s_->frames.size() >= count; });
}

void TestVci::ClearFrames() {
  std::lock_guard<std::mutex> lock(s_->mu);
  s_->frames.clear();
  s_->badFrames = 0;
}

size_t TestVci::BadFrames() const {
  std::lock_guard<std::mutex> lock(s_->mu);
  return s_->badFrames;
}

Bytes TestVci::Words(std::initializer_list<uint32_t> words) {
  Bytes out;
  for (uint32_t w : words) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(w >> (8 * i)));
  }
  return out;
}

VciReply TestVci::Answer(uint8_t command, uint32_t status, std::initializer_list<uint32_t> more) {
  VciReply r{kChannelVehicle, command, Words({status}), 0};
  Bytes rest = Words(more);
  r.data.insert(r.data.end(), rest.begin(), rest.end());
  return r;
}

VciReply TestVci::VehicleData(uint32_t status, uint32_t word, uint32_t uniqueId,
                              const Bytes& message) {
  VciReply r{kChannelVehicle, VCI_CMD_VEHICLE_DATA,
             Words({status, word, uniqueId, static_cast<uint32_t>(message.size())}), 0};
  r.data.insert(r.data.end(), message.begin(), message.end());
  return r;
}

bool TestVci::ParseCop(const VciFrame& frame, VciCopRequest& out) {
  const Bytes& d = frame.data;
  size_t pos = 0;
  auto word = [&](uint32_t& w) {
    if (pos + 4 > d.size()) return false;
    w = static_cast<uint32_t>(d[pos]) | (static_cast<uint32_t>(d[pos + 1]) << 8) |
        (static_cast<uint32_t>(d[pos + 2]) << 16) | (static_cast<uint32_t>(d[pos + 3]) << 24);
    pos += 4;
    return true;
  };
  auto bytes = [&](uint32_t n, Bytes& b) {
    if (pos + n > d.size()) return false;
    b.assign(d.begin() + static_cast<std::ptrdiff_t>(pos), d.begin() + static_cast<std::ptrdiff_t>(pos + n));
    pos += n;
    return true;
  };
  uint32_t r = 0, e = 0;
  return word(out.hMod) && word(out.hCLL) && word(out.copType) && word(r) && bytes(r, out.request) &&
         word(out.sendCycles) && word(out.receiveCycles) && word(e) && bytes(e, out.txFlags) &&
         pos == d.size();
}

Bytes TestVci::WireFrame(uint8_t channel, uint8_t sequence, uint8_t command, const Bytes& data) {
  Bytes frame(data.size() + kFrameOverhead);
  frame.resize(BuildFrame(channel, sequence, command, data.data(), data.size(), frame.data(),
                          frame.size()));
  Bytes wire(2 * frame.size() + 2);
  wire.resize(StuffFrame(frame.data(), frame.size(), wire.data(), wire.size()));
  return wire;
}

ScopedPorts::ScopedPorts(const std::vector<std::string>& paths) {
  if (const char* v = ::getenv("PDU7318_PORTS")) {
    had_ = true;
    old_ = v;
  }
  std::string joined;
  for (const std::string& p : paths) {
    if (!joined.empty()) joined += ':';
    joined += p;
  }
  ::setenv("PDU7318_PORTS", joined.c_str(), 1);
}

ScopedPorts::~ScopedPorts() {
  if (had_) {
    ::setenv("PDU7318_PORTS", old_.c_str(), 1);
  } else {
    ::unsetenv("PDU7318_PORTS");
  }
}

}  // namespace pdu::test
