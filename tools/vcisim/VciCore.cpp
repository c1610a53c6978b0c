#include "VciCore.h"

#include <algorithm>
#include <chrono>

namespace vcisim {

using namespace pdu::device;
using pdu::platform::MutexLock;

namespace {

// Closing the master discards what the library has not read yet: the
// answers just written get this long to arrive before the plug is pulled
// (a reader on a loaded machine, as a test client is, may need 100 ms).
constexpr uint32_t kUnplugGraceMs = 150;

// a before b on a clock that wraps at 2^32.
bool Before(uint32_t a, uint32_t b) { return static_cast<int32_t>(a - b) < 0; }

}  // namespace

VciCore::VciCore(Options options) : options_(options) {}

void VciCore::SetDefault(Handler answerer) {
  MutexLock lock(mu_);
  default_ = std::move(answerer);
}

void VciCore::SetSilent(bool silent) {
  MutexLock lock(mu_);
  silent_ = silent;
}

void VciCore::SetStatus(uint8_t command, uint32_t status) {
  MutexLock lock(mu_);
  status_[command] = status;
}

void VciCore::SetHandler(uint8_t command, Handler handler) {
  MutexLock lock(mu_);
  handlers_[command] = std::move(handler);
}

void VciCore::Script(uint8_t command, std::vector<OutFrame> replies) {
  MutexLock lock(mu_);
  scripts_[command].push_back(std::move(replies));
}

void VciCore::SetTrace(Describe describe, TraceLine line) {
  describe_ = describe;
  traceLine_ = std::move(line);
}

std::vector<OutFrame> VciCore::WithStatus(const ReceivedFrame& frame, std::vector<OutFrame> replies) const {
  uint32_t status;
  {
    MutexLock lock(mu_);
    auto it = status_.find(frame.command);
    if (it == status_.end()) return replies;
    status = it->second;
  }
  // The status is the first word of the answer (the reply of the same command).
  for (OutFrame& r : replies) {
    if (r.command != frame.command || r.data.size() < 4) continue;
    for (int i = 0; i < 4; ++i) r.data[static_cast<size_t>(i)] = static_cast<uint8_t>(status >> (8 * i));
    break;
  }
  return replies;
}

void VciCore::Trace(const std::string& line) const {
  if (traceLine_) traceLine_(line);  // set before the host runs
}

void VciCore::Feed(const uint8_t* bytes, size_t count, const Now& now, const std::function<void()>& answered) {
  splitter_.Push(bytes, count, [&](const uint8_t* seg, size_t len) {
    if (OnSegment(seg, len, now()) && answered) answered();
  });
}

bool VciCore::OnSegment(const uint8_t* segment, size_t length, uint32_t nowMs) {
  const size_t n = UnstuffFrame(segment, length, unstuffed_, sizeof unstuffed_);
  const bool valid = n != 0 && CheckFrame(unstuffed_, n);
  {
    MutexLock lock(mu_);
    if (unplugAt_) return false;  // the adapter is going away
    if (!valid) ++badFrames_;
  }
  if (!valid) {
    Trace("PC->VCI  bad frame dropped: " + HexSpaced(segment, length));
    return false;
  }
  ReceivedFrame f;
  f.channel = unstuffed_[kFrameOffChannel];
  f.sequence = unstuffed_[4];
  f.command = unstuffed_[kFrameOffCommand];
  f.data.assign(unstuffed_ + kFrameOffData, unstuffed_ + kFrameOffData + FrameDataLength(unstuffed_));
  f.tick = nowMs;
  if (options_.record) {
    f.frame.assign(unstuffed_, unstuffed_ + n);
    f.wire.assign(segment, segment + length);
  }
  if (traceLine_) Trace(describe_(true, f.channel, f.sequence, f.command, f.data));

  std::vector<OutFrame> replies;
  Handler handler;
  bool byDefault = false;
  {
    MutexLock lock(mu_);
    ++received_;
    if (options_.record) {
      frames_.push_back(f);
      frameArrived_.notify_all();
    }
    if (silent_) return false;
    if (options_.faults.silentAfter != 0 && received_ > options_.faults.silentAfter) {
      Trace("         (silent: not answered)");
      return false;
    }
    if (received_ == options_.faults.unplugAfter) unplugAt_ = nowMs + kUnplugGraceMs;
    if (f.command == VCI_CMD_CLOSE || f.command == VCI_CMD_OPEN) {
      // A closed VCI forgets what it was going to say, and so does one
      // opened anew: an ECU's pending job of a client that died without
      // CLOSE must not answer the next session.
      queue_.clear();
      streams_.clear();
    }
    auto script = scripts_.find(f.command);
    if (script != scripts_.end() && !script->second.empty()) {
      replies = std::move(script->second.front());
      script->second.pop_front();
    } else if (auto h = handlers_.find(f.command); h != handlers_.end()) {
      handler = h->second;
    } else {
      handler = default_;
      byDefault = true;
    }
  }
  if (handler) replies = byDefault ? WithStatus(f, handler(f)) : handler(f);
  Schedule(std::move(replies), nowMs);
  return true;
}

void VciCore::Schedule(std::vector<OutFrame> replies, uint32_t nowMs) {
  MutexLock lock(mu_);
  uint32_t base = nowMs;
  for (OutFrame& r : replies) {
    const uint32_t due = base + r.delayMs;
    if (options_.chainDelays) base = due;
    auto at = queue_.end();
    while (at != queue_.begin() && Before(due, std::prev(at)->due)) --at;
    queue_.insert(at, Pending{due, std::move(r)});
  }
}

std::optional<uint32_t> VciCore::NextDueMs() const {
  MutexLock lock(mu_);
  std::optional<uint32_t> due;
  if (!queue_.empty()) due = queue_.front().due;
  if (streamBudget_ != 0) {
    for (const Stream& s : streams_)
      if (!due || Before(s.due, *due)) due = s.due;
  }
  if (unplugAt_ && (!due || Before(*unplugAt_, *due))) due = unplugAt_;
  return due;
}

bool VciCore::TakeDue(uint32_t nowMs, Bytes& out) {
  const size_t before = out.size();
  MutexLock lock(mu_);
  for (;;) {
    const bool queued = !queue_.empty() && !Before(nowMs, queue_.front().due);
    Stream* s = EarliestStream();
    if (s != nullptr && Before(nowMs, s->due)) s = nullptr;
    if (s != nullptr && (!queued || Before(s->due, queue_.front().due))) {
      EmitStream(*s, out);
    } else if (queued) {
      Emit(queue_.front().frame, out);
      queue_.pop_front();
    } else {
      break;
    }
  }
  return out.size() > before;
}

void VciCore::StartStreams(std::vector<StreamSource> sources, uint32_t nowMs, uint32_t budget) {
  MutexLock lock(mu_);
  streams_.clear();
  streamBudget_ = budget;
  for (StreamSource& src : sources) {
    Stream s;
    s.source = std::move(src);
    s.source.periodMs = std::max<uint32_t>(s.source.periodMs, 1);
    s.source.burst = std::max<uint32_t>(s.source.burst, 1);
    // The first grid point after now (the origin itself when it is ahead).
    const int32_t since = static_cast<int32_t>(nowMs - s.source.originMs);
    s.period = since < 0 ? 0 : static_cast<uint32_t>(since) / s.source.periodMs + 1;
    s.due = s.source.originMs + s.period * s.source.periodMs;
    streams_.push_back(std::move(s));
  }
}

void VciCore::StopStreams() {
  MutexLock lock(mu_);
  streams_.clear();
  streamBudget_ = 0;
}

uint64_t VciCore::StreamFramesSent() const {
  MutexLock lock(mu_);
  return streamSent_;
}

VciCore::Stream* VciCore::EarliestStream() {
  if (streamBudget_ == 0) return nullptr;
  Stream* first = nullptr;
  for (Stream& s : streams_)
    if (first == nullptr || Before(s.due, first->due)) first = &s;
  return first;
}

void VciCore::EmitStream(Stream& s, Bytes& out) {
  const StreamSource& src = s.source;
  OutFrame f = VehicleData(0, s.due, src.uniqueId, {});
  PutU32(f.data, src.idWord);
  f.data.insert(f.data.end(), src.data.begin(), src.data.end());
  // NumDataBytes: the identifier word and the data.
  const uint32_t n = static_cast<uint32_t>(4 + src.data.size());
  for (int i = 0; i < 4; ++i) f.data[12 + static_cast<size_t>(i)] = static_cast<uint8_t>(n >> (8 * i));
  if (src.counter && !src.data.empty()) {
    f.data.back() = static_cast<uint8_t>(s.period * src.burst + s.inBurst);
  }
  f.note = src.note;
  Emit(f, out);
  ++streamSent_;
  if (streamBudget_ != 0xFFFFFFFFu) --streamBudget_;
  if (++s.inBurst == src.burst) {
    s.inBurst = 0;
    ++s.period;
    s.due = src.originMs + s.period * src.periodMs;
  }
}

bool VciCore::UnplugDue(uint32_t nowMs) {
  MutexLock lock(mu_);
  if (!unplugAt_ || Before(nowMs, *unplugAt_)) return false;
  queue_.clear();
  streams_.clear();
  return true;
}

uint8_t VciCore::NextSequence(uint8_t channel) {
  return static_cast<uint8_t>(channel == kChannelManagement ? ++seqManagement_ : ++seqVehicle_);
}

Bytes VciCore::NextWire(uint8_t channel, uint8_t command, const Bytes& data) {
  MutexLock lock(mu_);
  return WireFrame(channel, NextSequence(channel), command, data);
}

void VciCore::Emit(const OutFrame& s, Bytes& out) {
  const bool tracing = traceLine_ != nullptr;  // the texts are built only when traced
  if (s.command == 0) {
    Trace("         " + s.note);
    return;
  }
  const uint8_t seq = NextSequence(s.channel);
  Bytes frame(s.data.size() + kFrameOverhead);
  const size_t n = BuildFrame(s.channel, seq, s.command, s.data.data(), s.data.size(), frame.data(), frame.size());
  if (n == 0) {
    Trace("VCI->PC  frame too large, not sent");
    return;
  }
  ++sent_;
  std::string line;
  if (tracing) {
    line = describe_(false, s.channel, seq, s.command, s.data);
    if (!s.note.empty()) line += "  (" + s.note + ")";
  }
  const FaultOptions& f = options_.faults;
  if (f.dropEvery != 0 && sent_ % f.dropEvery == 0) {
    Trace(line + "  [dropped]");
    return;
  }
  if (f.corruptEvery != 0 && sent_ % f.corruptEvery == 0) {
    frame[n - 2] ^= 0x5A;  // the checksum byte
    line += "  [bad checksum]";
  }
  if (f.garbageEvery != 0 && sent_ % f.garbageEvery == 0) {
    // Stray bytes as a noisy line would bring, never a flag.
    const size_t count = 1 + random_ % 8;
    for (size_t i = 0; i < count; ++i) {
      random_ ^= random_ << 13;
      random_ ^= random_ >> 17;
      random_ ^= random_ << 5;
      const uint8_t g = static_cast<uint8_t>(random_);
      out.push_back(g == kFrameFlag ? 0x55 : g);
    }
    line += "  [after " + std::to_string(count) + " garbage bytes]";
  }
  Trace(line);
  const size_t at = out.size();
  out.resize(at + 2 * n + 2);
  out.resize(at + StuffFrame(frame.data(), n, out.data() + at, 2 * n + 2));
}

std::vector<ReceivedFrame> VciCore::Frames() const {
  MutexLock lock(mu_);
  return frames_;
}

size_t VciCore::FrameCount() const {
  MutexLock lock(mu_);
  return frames_.size();
}

bool VciCore::WaitForFrames(size_t count, uint32_t timeoutMs) const {
  MutexLock lock(mu_);
  return lock.WaitUntil(frameArrived_, std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs),
                        [&]() PDU_NO_THREAD_SAFETY_ANALYSIS { return frames_.size() >= count; });
}

void VciCore::ClearFrames() {
  MutexLock lock(mu_);
  frames_.clear();
  badFrames_ = 0;
}

size_t VciCore::BadFrames() const {
  MutexLock lock(mu_);
  return badFrames_;
}

Bytes VciCore::Words(std::initializer_list<uint32_t> words) {
  Bytes out;
  for (uint32_t w : words) PutU32(out, w);
  return out;
}

OutFrame VciCore::Answer(uint8_t command, uint32_t status, std::initializer_list<uint32_t> more) {
  OutFrame r(kChannelVehicle, command, Words({status}));
  for (uint32_t w : more) PutU32(r.data, w);
  return r;
}

OutFrame VciCore::VehicleData(uint32_t status, uint32_t word, uint32_t uniqueId, const Bytes& message) {
  OutFrame r(kChannelVehicle, VCI_CMD_VEHICLE_DATA,
             Words({status, word, uniqueId, static_cast<uint32_t>(message.size())}));
  r.data.insert(r.data.end(), message.begin(), message.end());
  return r;
}

bool VciCore::ParseCop(const Bytes& data, CopRequest& out) {
  Reader r(data);
  out.hMod = r.U32();
  out.hCLL = r.U32();
  out.copType = r.U32();
  out.request = r.Take(r.U32());
  out.sendCycles = r.U32();
  out.receiveCycles = r.U32();
  out.txFlags = r.Take(r.U32());
  return r.Ok() && r.Remaining() == 0;
}

Bytes VciCore::WireFrame(uint8_t channel, uint8_t sequence, uint8_t command, const Bytes& data) {
  Bytes frame(data.size() + kFrameOverhead);
  frame.resize(BuildFrame(channel, sequence, command, data.data(), data.size(), frame.data(), frame.size()));
  Bytes wire(2 * frame.size() + 2);
  wire.resize(StuffFrame(frame.data(), frame.size(), wire.data(), wire.size()));
  return wire;
}

std::vector<OutFrame> HealthyReplies(const ReceivedFrame& f, uint32_t openWord, uint32_t batteryMv,
                                     uint32_t ignition) {
  if (f.channel == kChannelManagement) {
    if (f.command != VCI_CMD_PROBE) return {};
    return {OutFrame(kChannelManagement, VCI_CMD_PROBE, VciCore::Words({0, 0x7318}))};
  }
  static constexpr uint8_t kPlain[] = {VCI_CMD_CLOSE,          VCI_CMD_SET_LINK_RESOURCE, VCI_CMD_DESTROY_LINK,
                                       VCI_CMD_DISCONNECT_LINK, VCI_CMD_SET_LINK_PARAM,   VCI_CMD_COP,
                                       VCI_CMD_CONNECT_LINK,   VCI_CMD_MODULE_CONNECT,   VCI_CMD_MODULE_DISCONNECT};
  if (f.command == VCI_CMD_OPEN) return {VciCore::Answer(f.command, 0, {openWord})};
  if (f.command == VCI_CMD_IOCTL) {
    const uint8_t sub = f.data.size() >= 9 ? f.data[8] : 0xFF;
    if (sub == 0x06) return {VciCore::Answer(f.command, 0, {0x1000, batteryMv})};
    if (sub == 0x11) return {VciCore::Answer(f.command, 0, {ignition})};
    return {VciCore::Answer(f.command, 0)};
  }
  for (uint8_t c : kPlain)
    if (f.command == c) return {VciCore::Answer(f.command, 0)};
  return {};
}

}  // namespace vcisim
