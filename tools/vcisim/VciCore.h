// VciCore: the wire side of a fake VCI, without the wire.
//
// vcisim (on a pseudo-terminal), pdubench's in-process VCI and the tests'
// VCI (an in-memory line, or a pty) all run this one core; a host only
// moves bytes and time:
//
//   Feed(bytes, ...)   the host's bytes from the library: frames are split,
//                      checked, recorded and answered (answers scheduled)
//   NextDueMs()        when the next frame (or the unplug) is due: the host
//                      blocks on its port or condition with that timeout
//   TakeDue(now, out)  every frame due, numbered, built, stuffed, faults
//                      applied, in one buffer for the host to write
//
// Frames on the wire: 7E | header | data | checksum | 7E, stuffed (see
// device/DeviceFrame.h). Each channel numbers its outgoing frames
// 1, 2, 3, ... (the low byte of a 16-bit counter).
//
// Who answers a valid frame, first match wins:
//   1. silent mode, or the silentAfter fault: nobody;
//   2. the next one-shot Script of its command (an empty one: nobody, once);
//   3. the Handler set for its command;
//   4. the default answerer (VciDevice in vcisim, HealthyReplies in the
//      tests), whose answer to the command gets the status set with
//      SetStatus as its first word.
// A reply's delayMs counts from the frame's arrival, or, with chainDelays,
// from the reply before it (the tests' scripts read that way).
//
// A CLOSE or an OPEN makes the VCI forget what it was still going to
// send: its queue and its streams (a new session starts clean, also after
// a client that died without CLOSE).
//
// Streams are the live bus: frame sources that the host's clock drives
// without any frame from the library (StartStreams). Each one's frames are
// due on a fixed grid of the VCI clock, so a stream started late picks up
// where the bus is, and they go out through TakeDue with the queued frames
// in time order (a queued frame first when both are due at once).
//
// Thread-safe: the host's thread feeds and takes; other threads may
// configure answers, send unasked frames and read the recording. Handlers
// run on the feeding thread without the core's lock held.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <initializer_list>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "Bytes.h"
#include "device/DeviceFrame.h"
#include "platform/Mutex.h"

namespace vcisim {

// One frame the VCI sends.
struct OutFrame {
  OutFrame() = default;
  OutFrame(uint8_t ch, uint8_t cmd, Bytes d, uint32_t delay = 0, std::string n = {})
      : channel(ch), command(cmd), data(std::move(d)), delayMs(delay), note(std::move(n)) {}

  uint8_t channel = pdu::device::kChannelVehicle;
  uint8_t command = 0;  // 0: nothing goes out, the note is only traced
  Bytes data;
  uint32_t delayMs = 0;
  std::string note;  // for the trace: which ECU, why it was filtered, ...
};

// One valid frame the VCI received.
struct ReceivedFrame {
  uint8_t channel = 0;
  uint8_t sequence = 0;
  uint8_t command = 0;
  Bytes data;         // the data field
  Bytes frame;        // the whole unstuffed frame
  Bytes wire;         // the frame as it came over the wire (stuffed)
  uint32_t tick = 0;  // the host's time when it was complete
};

// The fields of a COP payload: hMod, hCLL, type, request length, request,
// send cycles, receive cycles, flag length, flags (words little-endian).
struct CopRequest {
  uint32_t hMod = 0;
  uint32_t hCLL = 0;
  uint32_t copType = 0;
  Bytes request;
  uint32_t sendCycles = 0;
  uint32_t receiveCycles = 0;
  Bytes txFlags;
};

// Faults, counted from the start of the run.
struct FaultOptions {
  uint32_t silentAfter = 0;   // frames after the N-th received one get no answer; 0: never
  uint32_t dropEvery = 0;     // every N-th outgoing frame is not sent
  uint32_t corruptEvery = 0;  // every N-th outgoing frame has a bad checksum
  uint32_t garbageEvery = 0;  // every N-th outgoing frame follows stray bytes
  uint32_t unplugAfter = 0;   // the host pulls the plug after the N-th received frame
  bool splitWrites = false;   // the host writes byte by byte
};

// A periodic frame source on the bus, passed to the library as
// vehicle-data frames (status 0, the due time as the VCI timestamp,
// uniqueId, then the identifier word and the data as the message). Every
// periodMs, starting at originMs on the VCI clock, burst frames go out back
// to back; with counter the last data byte is the frame's number on the
// source (low byte), so a lost frame shows as a gap.
struct StreamSource {
  uint32_t uniqueId = 0;
  uint32_t idWord = 0;
  Bytes data;
  bool counter = false;
  uint32_t periodMs = 10;  // at least 1
  uint32_t burst = 1;      // at least 1
  uint32_t originMs = 0;
  std::string note;
};

class VciCore {
 public:
  using Handler = std::function<std::vector<OutFrame>(const ReceivedFrame&)>;
  // Trace output: one line per event; frames are described by describe
  // (fromPc, channel, sequence, command, data).
  using Describe = std::string (*)(bool, uint8_t, uint8_t, uint8_t, const Bytes&);
  using TraceLine = std::function<void(const std::string&)>;

  struct Options {
    bool record = false;       // keep every received frame (tests)
    bool chainDelays = false;  // a reply's delay counts from the reply before
    FaultOptions faults;
  };

  explicit VciCore(Options options);  // not copyable (the mutex)

  // ---- answers (any thread) ------------------------------------------
  void SetDefault(Handler answerer);
  void SetSilent(bool silent);
  void SetStatus(uint8_t command, uint32_t status);
  void SetHandler(uint8_t command, Handler handler);
  void Script(uint8_t command, std::vector<OutFrame> replies);
  // The answerer's replies with the status set for the frame's command.
  std::vector<OutFrame> WithStatus(const ReceivedFrame& frame, std::vector<OutFrame> replies) const;
  // Before the host runs. Both are needed; the line sink must not call
  // back into the core.
  void SetTrace(Describe describe, TraceLine line);

  // ---- the host's thread ---------------------------------------------
  using Now = std::function<uint32_t()>;
  // Splits the bytes into frames and answers each valid one; now gives the
  // host's time (milliseconds) as each frame completes, answered (if set)
  // runs after each answered frame, so that answers go out before the next
  // frame is read, as from a real VCI.
  void Feed(const uint8_t* bytes, size_t count, const Now& now, const std::function<void()>& answered = {});
  // When the next frame (or the unplug) is due; nullopt when nothing is.
  std::optional<uint32_t> NextDueMs() const;
  // Appends the wire bytes of every frame due at nowMs to out; true when
  // any were appended.
  bool TakeDue(uint32_t nowMs, Bytes& out);
  // True once the unplugAfter fault's moment has come; the queue is
  // dropped then and nothing more is answered.
  bool UnplugDue(uint32_t nowMs);

  // ---- the live bus (any thread) -------------------------------------
  // Replaces the running streams: each source's first frame is the first
  // of its grid after nowMs. At most budget frames go out over all of them
  // (0xFFFFFFFF: no limit); the streams stop then.
  void StartStreams(std::vector<StreamSource> sources, uint32_t nowMs, uint32_t budget = 0xFFFFFFFFu);
  void StopStreams();
  // Stream frames sent since the start.
  uint64_t StreamFramesSent() const;

  // ---- unasked output (any thread) -----------------------------------
  // The wire bytes of one frame with the channel's next sequence number.
  Bytes NextWire(uint8_t channel, uint8_t command, const Bytes& data);

  // ---- the recording (Options::record) -------------------------------
  std::vector<ReceivedFrame> Frames() const;
  size_t FrameCount() const;
  // Waits (real time) until at least count frames were received.
  bool WaitForFrames(size_t count, uint32_t timeoutMs) const;
  void ClearFrames();
  // Segments that failed the frame check.
  size_t BadFrames() const;

  // ---- building blocks for replies -----------------------------------
  static Bytes Words(std::initializer_list<uint32_t> words);
  // An answer on the vehicle channel: status, then more words.
  static OutFrame Answer(uint8_t command, uint32_t status, std::initializer_list<uint32_t> more = {});
  // A vehicle-data frame (0x1E): status, word, UniqueRespIdentifier,
  // NumDataBytes, the message.
  static OutFrame VehicleData(uint32_t status, uint32_t word, uint32_t uniqueId, const Bytes& message);
  // False when the payload is cut short or too long.
  static bool ParseCop(const Bytes& data, CopRequest& out);
  static bool ParseCop(const ReceivedFrame& frame, CopRequest& out) { return ParseCop(frame.data, out); }
  static Bytes WireFrame(uint8_t channel, uint8_t sequence, uint8_t command, const Bytes& data);

 private:
  struct Pending {
    uint32_t due;
    OutFrame frame;
  };
  struct Stream {
    StreamSource source;
    uint32_t period = 0;  // index on the grid of the next frame
    uint32_t inBurst = 0;
    uint32_t due = 0;
  };

  // True when the frame was answered (the answers are scheduled).
  bool OnSegment(const uint8_t* segment, size_t length, uint32_t nowMs);
  void Schedule(std::vector<OutFrame> replies, uint32_t nowMs) PDU_EXCLUDES(mu_);
  void Trace(const std::string& line) const;
  uint8_t NextSequence(uint8_t channel) PDU_REQUIRES(mu_);
  // Builds one due frame into out, faults applied.
  void Emit(const OutFrame& f, Bytes& out) PDU_REQUIRES(mu_);
  // The stream whose frame is due first; null when none runs.
  Stream* EarliestStream() PDU_REQUIRES(mu_);
  // Emits the stream's next frame and moves it on.
  void EmitStream(Stream& s, Bytes& out) PDU_REQUIRES(mu_);

  const Options options_;
  pdu::device::FrameSplitter splitter_;  // the feeding thread only
  uint8_t unstuffed_[pdu::device::kMaxBuiltFrame] = {};

  mutable pdu::platform::Mutex mu_;
  mutable std::condition_variable frameArrived_;
  Handler default_ PDU_GUARDED_BY(mu_);
  bool silent_ PDU_GUARDED_BY(mu_) = false;
  std::map<uint8_t, uint32_t> status_ PDU_GUARDED_BY(mu_);
  std::map<uint8_t, Handler> handlers_ PDU_GUARDED_BY(mu_);
  std::map<uint8_t, std::deque<std::vector<OutFrame>>> scripts_ PDU_GUARDED_BY(mu_);
  // Set before the host runs; the sink is called under mu_ too.
  Describe describe_ = nullptr;
  TraceLine traceLine_;
  std::vector<ReceivedFrame> frames_ PDU_GUARDED_BY(mu_);
  size_t badFrames_ PDU_GUARDED_BY(mu_) = 0;
  std::deque<Pending> queue_ PDU_GUARDED_BY(mu_);  // by due time; equal times keep their order
  uint16_t seqManagement_ PDU_GUARDED_BY(mu_) = 0;
  uint16_t seqVehicle_ PDU_GUARDED_BY(mu_) = 0;
  uint32_t received_ PDU_GUARDED_BY(mu_) = 0;
  uint32_t sent_ PDU_GUARDED_BY(mu_) = 0;
  uint32_t random_ PDU_GUARDED_BY(mu_) = 0x2545F491;
  std::optional<uint32_t> unplugAt_ PDU_GUARDED_BY(mu_);
  std::vector<Stream> streams_ PDU_GUARDED_BY(mu_);
  uint32_t streamBudget_ PDU_GUARDED_BY(mu_) = 0;
  uint64_t streamSent_ PDU_GUARDED_BY(mu_) = 0;
};

// What a healthy VCI answers, every status 0: PROBE on the management
// channel (status, 0x7318), and OPEN (status, openWord), CLOSE, IOCTL
// (0x06: 0x1000 and the battery millivolts; 0x11: the ignition state),
// SET_LINK_RESOURCE, SET_LINK_PARAM, CONNECT_LINK, DISCONNECT_LINK,
// DESTROY_LINK, COP, MODULE_CONNECT/DISCONNECT on the vehicle channel.
std::vector<OutFrame> HealthyReplies(const ReceivedFrame& frame, uint32_t openWord, uint32_t batteryMv,
                                     uint32_t ignition);

}  // namespace vcisim
