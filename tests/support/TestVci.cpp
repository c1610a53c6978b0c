#include "support/TestVci.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <map>
#include <deque>
#include <mutex>
#include <stdexcept>
#include <thread>

#include "device/DeviceFrame.h"
#include "device/Transport.h"
#include "platform/Clock.h"
#include "platform/Mutex.h"
#include "platform/Platform.h"
#include "support/TestClock.h"

namespace pdu::test {

using namespace pdu::device;

namespace {

// One in-memory line between the library (a MemoryTransport) and a
// TestVci. Bytes the library writes queue in toVci for the VCI's thread;
// bytes the VCI sends queue in toHost for the library's reads.
struct Line {
  platform::Mutex mu;
  std::condition_variable hostCv;  // toHost, cancelled or hungUp changed
  std::condition_variable vciCv;   // toVci or stop changed
  Bytes toHost PDU_GUARDED_BY(mu);
  Bytes toVci PDU_GUARDED_BY(mu);
  bool held PDU_GUARDED_BY(mu) = false;  // a transport has it open
  bool cancelled PDU_GUARDED_BY(mu) = false;
  bool hungUp PDU_GUARDED_BY(mu) = false;
  bool stop PDU_GUARDED_BY(mu) = false;
};

platform::Mutex g_LinesLock;
std::map<std::string, std::shared_ptr<Line>>& Lines() PDU_REQUIRES(g_LinesLock) {
  static auto* lines = new std::map<std::string, std::shared_ptr<Line>>();
  return *lines;
}

std::shared_ptr<Line> FindLine(const std::string& path) {
  platform::MutexLock lock(g_LinesLock);
  auto it = Lines().find(path);
  return it == Lines().end() ? nullptr : it->second;
}

// The library's side of a Line, behind the Transport interface. Like a
// pseudo-terminal it has no modem lines and no low-latency mode, and one
// holder at a time.
class MemoryTransport final : public Transport {
 public:
  ~MemoryTransport() override { Close(); }

  OpenStatus Open(const std::string& path) override {
    Close();
    std::shared_ptr<Line> line = FindLine(path);
    if (!line) return OpenStatus::kFailed;
    platform::MutexLock lock(line->mu);
    if (line->held) return OpenStatus::kBusy;
    line->held = true;
    line->cancelled = false;
    line_ = std::move(line);
    path_ = path;
    return OpenStatus::kOk;
  }
  bool Configure() override { return line_ != nullptr; }
  LineStatus SetDtr(bool) override { return LineStatus::kNotSupported; }
  LineStatus SetRts(bool) override { return LineStatus::kNotSupported; }
  LineStatus SetLowLatency() override { return LineStatus::kNotSupported; }

  size_t Write(const uint8_t* data, size_t count, uint32_t) override {
    if (!line_) return 0;
    platform::MutexLock lock(line_->mu);
    if (line_->hungUp || line_->cancelled) {
      // An unplugged adapter: the OS answers EIO, as a serial port does.
      lastError_ = line_->hungUp ? kEio : 0;
      lastCall_ = "write";
      return 0;
    }
    line_->toVci.insert(line_->toVci.end(), data, data + count);
    line_->vciCv.notify_all();
    return count;
  }

  ReadStatus Read(uint8_t* buf, size_t capacity, size_t& count, uint32_t timeoutMs) override {
    count = 0;
    if (!line_) return ReadStatus::kCancelled;
    Line& l = *line_;
    platform::MutexLock lock(l.mu);
    lock.WaitFor(l.hostCv, timeoutMs, [&]() PDU_NO_THREAD_SAFETY_ANALYSIS {
      return l.cancelled || !l.toHost.empty() || l.hungUp;
    });
    if (l.cancelled) return ReadStatus::kCancelled;
    if (!l.toHost.empty()) {
      count = std::min(capacity, l.toHost.size());
      std::memcpy(buf, l.toHost.data(), count);
      l.toHost.erase(l.toHost.begin(), l.toHost.begin() + static_cast<std::ptrdiff_t>(count));
      return ReadStatus::kData;
    }
    if (!l.hungUp) return ReadStatus::kTimeout;
    lastError_ = kEio;
    lastCall_ = "read";
    return ReadStatus::kFatal;
  }

  void Cancel() override {
    if (!line_) return;
    platform::MutexLock lock(line_->mu);
    line_->cancelled = true;
    line_->hostCv.notify_all();
  }

  void Close() override {
    if (!line_) return;
    {
      platform::MutexLock lock(line_->mu);
      line_->held = false;
    }
    line_.reset();
  }

  bool IsOpen() const override { return line_ != nullptr; }
  const std::string& Path() const override { return path_; }
  int LastError() const override { return lastError_; }
  const char* LastErrorCall() const override { return lastCall_; }

 private:
  // The error number a serial port reports once its adapter is gone.
  static constexpr int kEio = 5;

  std::shared_ptr<Line> line_;
  std::string path_;
  // Written by the one reader or the one writer of the transport.
  std::atomic<int> lastError_{0};
  std::atomic<const char*> lastCall_{"open"};
};

// The factory's Transport while TestVcis exist: the in-memory line for
// their names, the serial port for every other name.
class RoutingTransport final : public Transport {
 public:
  OpenStatus Open(const std::string& path) override {
    Close();
    if (FindLine(path)) {
      active_ = &memory_;
    } else {
      if (!serial_) serial_ = MakeSerialTransport();
      active_ = serial_.get();
    }
    return active_->Open(path);
  }
  bool Configure() override { return active_->Configure(); }
  LineStatus SetDtr(bool on) override { return active_->SetDtr(on); }
  LineStatus SetRts(bool on) override { return active_->SetRts(on); }
  LineStatus SetLowLatency() override { return active_->SetLowLatency(); }
  size_t Write(const uint8_t* data, size_t count, uint32_t timeoutMs) override {
    return active_->Write(data, count, timeoutMs);
  }
  ReadStatus Read(uint8_t* buf, size_t capacity, size_t& count, uint32_t timeoutMs) override {
    return active_->Read(buf, capacity, count, timeoutMs);
  }
  void Cancel() override { active_->Cancel(); }
  void Close() override { active_->Close(); }
  bool IsOpen() const override { return active_->IsOpen(); }
  const std::string& Path() const override { return active_->Path(); }
  int LastError() const override { return active_->LastError(); }
  const char* LastErrorCall() const override { return active_->LastErrorCall(); }

 private:
  MemoryTransport memory_;
  std::unique_ptr<Transport> serial_;
  Transport* active_ = &memory_;
};

int g_NextLine = 0;

}  // namespace

struct TestVci::State {
  std::string path;
  std::shared_ptr<Line> line = std::make_shared<Line>();
  std::thread thread;
  bool installedClock = false;

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

  std::mutex writeMu;  // output from the VCI thread and the test
  uint16_t seqManagement = 0;
  uint16_t seqVehicle = 0;
  std::function<void(const uint8_t*, size_t)> sink;  // set: output goes here instead

  FrameSplitter splitter;

  void WriteAll(const uint8_t* p, size_t n) {
    std::lock_guard<std::mutex> lock(writeMu);
    if (sink) {
      sink(p, n);
      return;
    }
    platform::MutexLock l(line->mu);
    if (line->hungUp) return;
    line->toHost.insert(line->toHost.end(), p, p + n);
    line->hostCv.notify_all();
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

  void Pause(uint32_t ms) {
    // A reply's delay is real time unless the test moves time by hand.
    if (&platform::CurrentClock() == &InstantPauseClock::Instance() ||
        &platform::CurrentClock() == &platform::RealClock()) {
      platform::SleepMs(ms);
    } else {
      platform::ClockSleep(ms);
    }
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
    f.tick = platform::ClockTicks();

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
      if (r.delayMs > 0) Pause(r.delayMs);
      SendFrame(r.channel, r.command, r.data);
    }
  }

  void Feed(const uint8_t* p, size_t n, const TestVci& vci) {
    splitter.Push(p, n, [&](const uint8_t* seg, size_t len) { OnSegment(seg, len, vci); });
  }

  // The VCI's thread: takes what the library wrote and answers it.
  void Run(const TestVci& vci) {
    for (;;) {
      Bytes in;
      {
        platform::MutexLock lock(line->mu);
        lock.Wait(line->vciCv, [&]() PDU_NO_THREAD_SAFETY_ANALYSIS {
          return line->stop || !line->toVci.empty();
        });
        if (line->stop) return;
        in.swap(line->toVci);
      }
      Feed(in.data(), in.size(), vci);
    }
  }

  void Stop() {
    {
      platform::MutexLock lock(line->mu);
      line->stop = true;
      line->vciCv.notify_all();
    }
    if (thread.joinable()) thread.join();
  }
};

TestVci::TestVci() : s_(std::make_unique<State>()) {
  {
    platform::MutexLock lock(g_LinesLock);
    s_->path = "mem:vci" + std::to_string(++g_NextLine);
    Lines()[s_->path] = s_->line;
  }
  SetTransportFactory([] { return std::make_unique<RoutingTransport>(); });
  // Constructions need not wait the settle time against a VCI that is
  // ready at once (unless the test runs a clock of its own).
  if (&platform::CurrentClock() == &platform::RealClock()) {
    platform::SetClock(&InstantPauseClock::Instance());
    s_->installedClock = true;
  }
  s_->thread = std::thread([this] { s_->Run(*this); });
}

TestVci::~TestVci() {
  s_->Stop();
  {
    platform::MutexLock lock(g_LinesLock);
    Lines().erase(s_->path);
  }
  if (s_->installedClock && &platform::CurrentClock() == &InstantPauseClock::Instance())
    platform::SetClock(nullptr);
}

const std::string& TestVci::Path() const { return s_->path; }

void TestVci::FeedFromHost(const uint8_t* data, size_t count) { s_->Feed(data, count, *this); }

void TestVci::SetOutput(std::function<void(const uint8_t*, size_t)> sink) {
  std::lock_guard<std::mutex> lock(s_->writeMu);
  s_->sink = std::move(sink);
}

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
  platform::MutexLock lock(s_->line->mu);
  s_->line->hungUp = true;
  s_->line->hostCv.notify_all();
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
  // Real time: the test thread waits for the VCI's thread, not the library.
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

namespace {
std::vector<std::string>* g_Ports = nullptr;  // the innermost ScopedPorts' list
}  // namespace

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
  platform::SetEnvValue("PDU7318_PORTS", joined);
  // Discovery takes the list from the seam too, so that in-memory names
  // are tried on every OS.
  previous_ = g_Ports;
  paths_ = paths;
  g_Ports = &paths_;
  SetPortLister([list = paths](std::vector<std::string>& out) {
    out = list;
    return true;
  });
}

ScopedPorts::~ScopedPorts() {
  if (had_) {
    platform::SetEnvValue("PDU7318_PORTS", old_);
  } else {
    platform::ClearEnvValue("PDU7318_PORTS");
  }
  g_Ports = previous_;
  if (previous_ != nullptr) {
    SetPortLister([list = *previous_](std::vector<std::string>& out) {
      out = list;
      return true;
    });
  } else {
    SetPortLister(nullptr);
  }
}

}  // namespace pdu::test
