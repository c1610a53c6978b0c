#include "support/TestVci.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <optional>
#include <thread>

#include "device/DeviceFrame.h"
#include "device/Transport.h"
#include "platform/Clock.h"
#include "platform/Mutex.h"
#include "platform/Platform.h"
#include "support/TestClock.h"

namespace pdu::test {

using namespace pdu::device;

// One in-memory line between the library (a MemoryTransport) and a
// TestVci. Bytes the library writes queue in toVci for the VCI's thread;
// bytes the VCI sends queue in toHost for the library's reads. Outside the
// anonymous namespace: TestVci::State, a class of the header, holds one.
struct TestVciLine {
  platform::Mutex mu;
  std::condition_variable hostCv;  // toHost, cancelled or hungUp changed
  std::condition_variable vciCv;   // toVci or stop changed
  Bytes toHost PDU_GUARDED_BY(mu);
  // The length of each write the VCI made into toHost, oldest first. A read
  // takes from one write only, as if each came in a USB packet of its own:
  // how the library's reads split the stream (which its data log records)
  // then depends on the VCI's writes, never on how late the reader woke.
  std::deque<size_t> hostWrites PDU_GUARDED_BY(mu);
  Bytes toVci PDU_GUARDED_BY(mu);
  bool held PDU_GUARDED_BY(mu) = false;  // a transport has it open
  bool cancelled PDU_GUARDED_BY(mu) = false;
  bool hungUp PDU_GUARDED_BY(mu) = false;
  bool stop PDU_GUARDED_BY(mu) = false;
};

namespace {

using Line = TestVciLine;

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
      count = std::min(capacity, l.hostWrites.front());
      std::memcpy(buf, l.toHost.data(), count);
      l.toHost.erase(l.toHost.begin(), l.toHost.begin() + static_cast<std::ptrdiff_t>(count));
      if ((l.hostWrites.front() -= count) == 0) l.hostWrites.pop_front();
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
  explicit State(vcisim::VciCore& c) : core(c) {}

  vcisim::VciCore& core;
  std::string path;
  std::shared_ptr<Line> line = std::make_shared<Line>();
  std::thread thread;
  bool installedClock = false;
  std::atomic<uint32_t> openWord{0x00010002};
  std::atomic<uint32_t> batteryMv{12600};
  std::atomic<uint32_t> ignition{1};

  platform::Mutex writeMu;  // output from the VCI thread and the test
  std::function<void(const uint8_t*, size_t)> sink PDU_GUARDED_BY(writeMu);  // set: output goes here

  void WriteAll(const uint8_t* p, size_t n) {
    platform::MutexLock lock(writeMu);
    if (sink) {
      sink(p, n);
      return;
    }
    platform::MutexLock l(line->mu);
    if (line->hungUp) return;
    if (n == 0) return;
    line->toHost.insert(line->toHost.end(), p, p + n);
    line->hostWrites.push_back(n);
    line->hostCv.notify_all();
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

  // Answers what the library wrote. A delayed reply holds the VCI up: it
  // reads nothing more until the reply went out, as a busy VCI would.
  void Feed(const uint8_t* p, size_t n) {
    core.Feed(p, n, [] { return platform::ClockTicks(); }, [this] {
      Bytes out;
      while (std::optional<uint32_t> due = core.NextDueMs()) {
        const auto wait = static_cast<int32_t>(*due - platform::ClockTicks());
        if (wait > 0) Pause(static_cast<uint32_t>(wait));
        out.clear();
        if (core.TakeDue(*due, out)) WriteAll(out.data(), out.size());
      }
    });
  }

  // The VCI's thread: takes what the library wrote and answers it.
  void Run() {
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
      Feed(in.data(), in.size());
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

// Records every frame; a script's delays count from the reply before.
TestVci::TestVci() : VciCore({true, true, {}}), s_(std::make_unique<State>(*this)) {
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
  SetDefault([s = s_.get()](const VciFrame& f) {
    return vcisim::HealthyReplies(f, s->openWord, s->batteryMv, s->ignition);
  });
  s_->thread = std::thread([this] { s_->Run(); });
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

void TestVci::FeedFromHost(const uint8_t* data, size_t count) { s_->Feed(data, count); }

void TestVci::SetOutput(std::function<void(const uint8_t*, size_t)> sink) {
  platform::MutexLock lock(s_->writeMu);
  s_->sink = std::move(sink);
}

void TestVci::SetOpenWord(uint32_t word) { s_->openWord = word; }
void TestVci::SetBatteryMillivolts(uint32_t mv) { s_->batteryMv = mv; }
void TestVci::SetIgnitionState(uint32_t state) { s_->ignition = state; }

std::vector<VciReply> TestVci::DefaultReplies(const VciFrame& f) const {
  return WithStatus(f, vcisim::HealthyReplies(f, s_->openWord, s_->batteryMv, s_->ignition));
}

void TestVci::Send(uint8_t channel, uint8_t command, const Bytes& data) {
  Bytes wire = NextWire(channel, command, data);
  s_->WriteAll(wire.data(), wire.size());
}

void TestVci::SendVehicleData(uint32_t status, uint32_t word, uint32_t uniqueId, const Bytes& message) {
  VciReply r = VehicleData(status, word, uniqueId, message);
  Send(r.channel, r.command, r.data);
}

void TestVci::InjectRaw(const Bytes& bytes) { s_->WriteAll(bytes.data(), bytes.size()); }

void TestVci::HangUp() {
  s_->Stop();
  platform::MutexLock lock(s_->line->mu);
  s_->line->hungUp = true;
  s_->line->hostCv.notify_all();
}

std::vector<VciFrame> TestVci::FramesWithCommand(uint8_t command) const {
  std::vector<VciFrame> out;
  for (VciFrame& f : Frames())
    if (f.command == command) out.push_back(std::move(f));
  return out;
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
  platform::SetEnvValue("PDU7318_PORTS", joined);
  // Discovery takes the list from the seam too, so that in-memory names
  // are tried on every OS.
  SetPortLister([paths](std::vector<std::string>& out) {
    out = paths;
    return true;
  });
}

ScopedPorts::~ScopedPorts() {
  if (had_) {
    platform::SetEnvValue("PDU7318_PORTS", old_);
  } else {
    platform::ClearEnvValue("PDU7318_PORTS");
  }
  SetPortLister(nullptr);
}

}  // namespace pdu::test
