// DeviceLink: sending frames and the receive path. The serial session
// (OpenPort, ClosePort, ReadThread) is in DeviceSession.cpp.
#include "device/DeviceLink.h"

#include <algorithm>
#include <chrono>
#include <cstring>

#include "device/DeviceRoom.h"
#include "log/PduLog.h"
#include "platform/Clock.h"
#include "platform/Platform.h"

namespace pdu::device {

namespace {
// Constant-initialised: ready before any static constructor of the host
// process could reach the library.
constinit DeviceRoom g_DeviceRoom;
}  // namespace

DeviceRoom& Room() { return g_DeviceRoom; }

DeviceLink* GetDeviceLink() { return Room().g_DeviceLink.load(std::memory_order_acquire); }
void SetDeviceLink(DeviceLink* link) { Room().g_DeviceLink.store(link, std::memory_order_release); }

uint16_t ManagementFrameCounter() { return Room().g_wManagementFrameCounter.load(); }
uint16_t VehicleFrameCounter() { return Room().g_wVehicleFrameCounter.load(); }
void ResetFrameCounters() {
  Room().g_wManagementFrameCounter.store(0);
  Room().g_wVehicleFrameCounter.store(0);
}

// What distinguishes the three receive operations.
struct DeviceLink::ReceiveQueue {
  uint8_t* queue;
  uint32_t* queueLen;
  uint8_t* carry;
  uint32_t* carryLen;
  std::condition_variable* arrived;
  uint8_t channel;
  // Log texts; null where the operation does not write the line.
  const char* takenLine;    // "data = %d"
  const char* lenLine;      // "recv len = %d"
  const char* decodeLine;   // "decode data = %s"
  bool frameSpaced;         // "data = %s" of the unstuffed frame with blanks
  bool contactLine;         // "%d <<<<<<<<<: %s"
  bool exitLine;            // "exit !=0" at a timeout with bytes received
};

// The line as the link sees it: every call goes to the real Transport; a
// fatal read (the adapter is gone) marks the VCI lost on the spot, from the
// receive thread, so that waiting receive operations end at once instead
// of running into their timeouts; a line opened again is no longer lost.
class DeviceLink::WatchedTransport final : public Transport {
 public:
  WatchedTransport(std::unique_ptr<Transport> inner, DeviceLink& link) : inner_(std::move(inner)), link_(link) {}

  OpenStatus Open(const std::string& path) override {
    const OpenStatus status = inner_->Open(path);
    if (status == OpenStatus::kOk) link_.m_dwLost.store(0);
    return status;
  }
  bool Configure() override { return inner_->Configure(); }
  LineStatus SetDtr(bool on) override { return inner_->SetDtr(on); }
  LineStatus SetRts(bool on) override { return inner_->SetRts(on); }
  LineStatus SetLowLatency() override { return inner_->SetLowLatency(); }
  size_t Write(const uint8_t* data, size_t count, uint32_t timeoutMs) override {
    return inner_->Write(data, count, timeoutMs);
  }
  ReadStatus Read(uint8_t* buf, size_t capacity, size_t& count, uint32_t timeoutMs) override {
    const ReadStatus status = inner_->Read(buf, capacity, count, timeoutMs);
    if (status == ReadStatus::kFatal) link_.MarkLost(inner_->LastErrorCall(), inner_->LastError());
    return status;
  }
  void Cancel() override { inner_->Cancel(); }
  void Close() override { inner_->Close(); }
  bool IsOpen() const override { return inner_->IsOpen(); }
  const std::string& Path() const override { return inner_->Path(); }
  int LastError() const override { return inner_->LastError(); }
  const char* LastErrorCall() const override { return inner_->LastErrorCall(); }

 private:
  std::unique_ptr<Transport> inner_;
  DeviceLink& link_;
};

DeviceLink::DeviceLink() : m_Port(std::make_unique<WatchedTransport>(MakeTransport(), *this)) {
  log::LogMain("--3");
}

DeviceLink::~DeviceLink() { ClosePort(); }

const char* DeviceLink::RecvHex(const uint8_t* bytes, uint32_t count, bool spaced) {
  m_szRecvHex[0] = '\0';
  log::HexDump(bytes, count, m_szRecvHex, spaced);
  return m_szRecvHex;
}

uint32_t DeviceLink::CurSaveOff() {
  platform::MutexLock lock(m_RecvLock);
  return m_dwCurSaveOff;
}

// ---- sending ------------------------------------------------------------

uint32_t DeviceLink::SendFrame(uint8_t command, const uint8_t* data, uint32_t length) {
  return SendOnChannel(kChannelVehicle, command, data, length);
}

uint32_t DeviceLink::SendManagementFrame(uint8_t command, const uint8_t* data, uint32_t length) {
  return SendOnChannel(kChannelManagement, command, data, length);
}

uint32_t DeviceLink::SendOnChannel(uint8_t channel, uint8_t command, const uint8_t* data,
                                   uint32_t length) {
  const bool vehicle = channel == kChannelVehicle;
  platform::MutexLock lock(m_SendLock);
  std::atomic<uint16_t>& counter = vehicle ? Room().g_wVehicleFrameCounter : Room().g_wManagementFrameCounter;
  const uint8_t sequence = static_cast<uint8_t>((counter.fetch_add(1) + 1) & 0xFF);

  const size_t frameLen =
      BuildFrame(channel, sequence, command, data, length, m_bySendFrame, sizeof m_bySendFrame);
  if (frameLen == 0) {
    log::LogMain("frame not sent: %u data bytes do not fit into a frame", length);
    return 0;
  }
  if (log::MainLogOn() || (vehicle && log::ContactLogOn())) {
    m_szSendHex[0] = '\0';
    log::HexDump(m_bySendFrame, static_cast<uint32_t>(frameLen), m_szSendHex, false);
    const uint32_t tick = platform::ClockTicks();
    if (vehicle) {
      log::LogMain("%d Write Data_Original: %s", tick, m_szSendHex);
      log::LogContact("%d >>>>>>>>>: %s", tick, m_szSendHex);
    } else {
      log::LogMain("%d Write Data_Original:%s", tick, m_szSendHex);
    }
  }
  if (!m_Port->IsOpen()) return 0;
  if (m_dwLost.load() != 0) {
    log::LogMain("frame not sent: the VCI is lost");
    return 0;
  }

  const size_t stuffedLen =
      StuffFrame(m_bySendFrame, frameLen, m_bySendStuffed, sizeof m_bySendStuffed);
  if (stuffedLen == 0) {
    log::LogMain("frame not sent: %u bytes stuffed exceed %u", static_cast<uint32_t>(frameLen),
                 static_cast<uint32_t>(kMaxStuffedFrame));
    return 0;
  }
  const size_t written = m_Port->Write(m_bySendStuffed, stuffedLen, kWriteTimeoutMs);
  if (written == stuffedLen) return 1;
  if (vehicle) {
    log::LogMain("usbSerial_write failed %d", m_Port->LastError());
  } else {
    platform::DebugOutput("usbSerial_write failed");
  }
  // A VCI that does not take a frame is gone for this session.
  MarkLost("write", m_Port->LastError());
  return 0;
}

// ---- receive path -------------------------------------------------------

void DeviceLink::OnReceive(const uint8_t* bytes, uint32_t count) {
  // The waiting receive operation is woken after m_RecvLock is released:
  // woken under the lock, it would find the lock still held and sleep once
  // more on it (two more context switches per answer).
  Arrived arrived;
  {
    platform::MutexLock lock(m_RecvLock);
    SplitReceived(bytes, count, arrived);
  }
  if (arrived.answer) m_AnswerArrived.notify_all();
  if (arrived.carData) m_CarDataArrived.notify_all();
}

void DeviceLink::SplitReceived(const uint8_t* bytes, uint32_t count, Arrived& arrived) {
  uint32_t take = count;
  if (take > kRecvBufferSize - m_dwCurSaveOff) {
    take = kRecvBufferSize - m_dwCurSaveOff;
    log::LogMain("recv buffer full, %u bytes dropped", count - take);
  }
  std::memcpy(m_byRecvBuffer + m_dwCurSaveOff, bytes, take);
  m_dwCurSaveOff += take;
  if (log::MainLogOn()) {
    log::LogMain("recv buffer = %s m_dwCurSaveOff = %d time = %d",
                 RecvHex(m_byRecvBuffer, m_dwCurSaveOff, true), m_dwCurSaveOff,
                 platform::ClockTicks());
  }

  // Split at flags. Every complete frame is queued at once, so that a
  // waiting receive operation sees it as soon as its closing flag is here.
  uint32_t start = 0;
  while (start < m_dwCurSaveOff) {
    const SegmentScan seg = ScanSegment(m_byRecvBuffer + start, m_dwCurSaveOff - start);
    // Noise: the tail of a frame whose start was lost, or bytes between
    // frames. Stray flags ("7E 7E": a closing flag whose frame was lost,
    // then an opening flag) are skipped silently.
    if (seg.noise != 0) log::LogMain("recv resync, %u bytes dropped", seg.noise);
    start += seg.noise + seg.strays;
    if (seg.length == 0) {
      // Incomplete. A frame that has outgrown what any receive operation
      // can take will never be valid: give it up.
      if (m_dwCurSaveOff - start > kMaxReceivedFrame) {
        log::LogMain("recv frame longer than %u bytes dropped", static_cast<uint32_t>(kMaxReceivedFrame));
        start = m_dwCurSaveOff;
      }
      break;
    }
    if (seg.length > kMaxReceivedFrame) {
      log::LogMain("recv frame longer than %u bytes dropped", static_cast<uint32_t>(kMaxReceivedFrame));
    } else {
      QueueSegment(m_byRecvBuffer + start, seg.length, arrived);
    }
    start += seg.length;
    if (start == m_dwCurSaveOff) log::LogMain("--4");
  }
  if (start >= m_dwCurSaveOff) {
    m_dwCurSaveOff = 0;
  } else if (start > 0) {
    std::memmove(m_byRecvBuffer, m_byRecvBuffer + start, m_dwCurSaveOff - start);
    m_dwCurSaveOff -= start;
  }
}

void DeviceLink::QueueSegment(const uint8_t* segment, uint32_t length, Arrived& arrived) {
  const bool carData = PeekStuffedCommand(segment, length) == VCI_CMD_VEHICLE_DATA;
  uint8_t* queue = carData ? m_byCarDataQueue : m_byAnswerQueue;
  uint32_t& queueLen = carData ? m_dwCarDataLen : m_dwAnswerLen;
  log::LogMain(carData ? "---------recv date from car------------"
                       : "---------recv other date from hardware------------");
  if (length > kQueueSize - queueLen) {
    log::LogMain(carData ? "vehicle-data queue full, frame of %u bytes dropped"
                         : "answer queue full, frame of %u bytes dropped",
                 length);
    return;
  }
  std::memcpy(queue + queueLen, segment, length);
  queueLen += length;
  if (log::MainLogOn()) {
    log::LogMain("show data = %s len = %d", RecvHex(queue, queueLen, true), queueLen);
  }
  (carData ? arrived.carData : arrived.answer) = true;
}

void DeviceLink::WakeReceivers() {
  // The flag was stored before: taking the lock once orders it before any
  // waiter's next look at its predicate, so the wake-up is not lost.
  { platform::MutexLock lock(m_RecvLock); }
  m_AnswerArrived.notify_all();
  m_CarDataArrived.notify_all();
}

void DeviceLink::AbortWaits() {
  m_dwAborted.store(1);
  WakeReceivers();
}

void DeviceLink::StopVehicleDataWaits() {
  m_dwCarDataStopped.store(1);
  WakeReceivers();
}

void DeviceLink::ResumeVehicleDataWaits() { m_dwCarDataStopped.store(0); }

bool DeviceLink::VehicleDataStopped() const {
  return m_dwCarDataStopped.load() != 0 || m_dwAborted.load() != 0;
}

void DeviceLink::MarkLost(const char* call, int error) {
  if (m_dwLost.exchange(1) != 0) return;
  log::LogMain("VCI lost on %s: %s", m_Port->Path().c_str(), CallError(call, error).c_str());
  WakeReceivers();
}

bool DeviceLink::Interrupted(ReceiveKind kind) const {
  if (m_dwAborted.load() != 0 || m_dwLost.load() != 0) return true;
  return kind == ReceiveKind::kVehicleData && m_dwCarDataStopped.load() != 0;
}

uint32_t DeviceLink::DiscardVehicleData() {
  platform::MutexLock lock(m_RecvLock);
  const uint32_t dropped = m_dwCarDataLen + m_dwCarDataCarryLen;
  m_dwCarDataLen = 0;
  m_dwCarDataCarryLen = 0;
  if (dropped != 0) log::LogMain("stale vehicle data dropped at OPEN: %u bytes", dropped);
  return dropped;
}

void DeviceLink::AbandonOnProcessExit() {
  if (m_ReadThread.joinable()) new std::thread(std::move(m_ReadThread));  // deliberately never joined
}

void DeviceLink::DiscardAnswers() {
  platform::MutexLock lock(m_RecvLock);
  log::LogMain("--5");
  m_dwCurSaveOff = 0;
  m_dwAnswerLen = 0;
}

uint32_t DeviceLink::ReceiveAnswer(uint8_t* out, uint32_t capacity, uint32_t timeoutMs) {
  return Receive(ReceiveKind::kAnswer, out, capacity, timeoutMs);
}

bool DeviceLink::WaitAnswerQueued(uint32_t timeoutMs) {
  platform::MutexLock lock(m_RecvLock);
  return lock.WaitFor(m_AnswerArrived, timeoutMs, [&]() PDU_NO_THREAD_SAFETY_ANALYSIS { return m_dwAnswerLen > 0; });
}

uint32_t DeviceLink::ReceiveVehicleData(uint8_t* out, uint32_t capacity, uint32_t timeoutMs) {
  return Receive(ReceiveKind::kVehicleData, out, capacity, timeoutMs);
}

uint32_t DeviceLink::ReceiveProbeAnswer(uint8_t* out, uint32_t capacity) {
  return Receive(ReceiveKind::kProbe, out, capacity, kProbeTimeoutMs);
}

DeviceLink::ReceiveQueue DeviceLink::QueueFor(ReceiveKind kind) {
  switch (kind) {
    case ReceiveKind::kVehicleData:
      return {.queue = m_byCarDataQueue,
              .queueLen = &m_dwCarDataLen,
              .carry = m_byCarDataCarry,
              .carryLen = &m_dwCarDataCarryLen,
              .arrived = &m_CarDataArrived,
              .channel = kChannelVehicle,
              .takenLine = "data = %d",
              .lenLine = "recv len multithread = %d",
              .decodeLine = "decode data multithread = %s",
              .frameSpaced = false,
              .contactLine = true,
              .exitLine = true};
    case ReceiveKind::kProbe:
      return {.queue = m_byAnswerQueue,
              .queueLen = &m_dwAnswerLen,
              .carry = m_byAnswerCarry,
              .carryLen = &m_dwAnswerCarryLen,
              .arrived = &m_AnswerArrived,
              .channel = kChannelManagement,
              .takenLine = nullptr,
              .lenLine = nullptr,
              .decodeLine = nullptr,
              .frameSpaced = true,
              .contactLine = false,
              .exitLine = false};
    case ReceiveKind::kAnswer:
      break;
  }
  return {.queue = m_byAnswerQueue,
          .queueLen = &m_dwAnswerLen,
          .carry = m_byAnswerCarry,
          .carryLen = &m_dwAnswerCarryLen,
          .arrived = &m_AnswerArrived,
          .channel = kChannelVehicle,
          .takenLine = "data = %d",
          .lenLine = "recv len = %d",
          .decodeLine = "decode data = %s",
          .frameSpaced = false,
          .contactLine = true,
          .exitLine = false};
}

bool DeviceLink::TakeQueued(const ReceiveQueue& q) {
  if (*q.queueLen == 0 || *q.carryLen >= kCarrySize) return false;
  // The queue, or as much of it as the carry-over can hold; the rest stays
  // queued for the next pass (frames are at most 5000 bytes, so the first
  // one always fits).
  const uint32_t take = std::min(*q.queueLen, kCarrySize - *q.carryLen);
  if (q.takenLine != nullptr) log::LogMain(q.takenLine, take);
  std::memcpy(q.carry + *q.carryLen, q.queue, take);
  *q.carryLen += take;
  std::memmove(q.queue, q.queue + take, *q.queueLen - take);
  *q.queueLen -= take;
  return true;
}

uint32_t DeviceLink::TakeFrame(const ReceiveQueue& q, uint32_t segLen) {
  uint8_t* work = q.carry;
  uint32_t& workLen = *q.carryLen;
  const uint32_t frameLen = static_cast<uint32_t>(UnstuffFrame(work, segLen, m_byRecvFrame, sizeof m_byRecvFrame));
  // The bytes behind the frame stay for the next pass or the next call.
  std::memmove(work, work + segLen, workLen - segLen);
  workLen -= segLen;
  if (frameLen > 0 && (log::MainLogOn() || (q.contactLine && log::ContactLogOn()))) {
    const char* hex = RecvHex(m_byRecvFrame, frameLen, q.frameSpaced);
    log::LogMain("data = %s", hex);
    if (q.contactLine) log::LogContact("%d <<<<<<<<<: %s", platform::ClockTicks(), hex);
  }
  return frameLen > 0 && CheckFrame(m_byRecvFrame, frameLen) ? frameLen : 0;
}

uint32_t DeviceLink::Receive(ReceiveKind kind, uint8_t* out, uint32_t capacity, uint32_t timeoutMs) {
  if (!m_Port->IsOpen() || Interrupted(kind)) return 0;
  const ReceiveQueue q = QueueFor(kind);
  const uint32_t start = platform::ClockTicks();
  bool received = false;  // this call took bytes from its queue
  bool needMore = false;  // the carry-over holds no complete frame

  platform::MutexLock lock(m_RecvLock);
  for (;;) {
    if (TakeQueued(q)) {
      received = true;
      needMore = false;
    }
    if (needMore && *q.carryLen == kCarrySize) {
      // A full carry-over without a closing flag can never complete.
      log::LogMain("receive buffer full, %u bytes dropped", *q.carryLen);
      *q.carryLen = 0;
      needMore = false;
    }
    if (*q.carryLen == 0 || needMore) {
      // Once the time is up only the queue itself is looked at: a wait on
      // a deadline in the past still enters the kernel and the scheduler,
      // which made every drained poll of the queue cost ~15 us.
      const uint32_t elapsed = platform::ClockTicks() - start;
      const bool more = elapsed >= timeoutMs
                            ? *q.queueLen > 0
                            : lock.WaitFor(*q.arrived, timeoutMs - elapsed, [&]() PDU_NO_THREAD_SAFETY_ANALYSIS {
                                return *q.queueLen > 0 || Interrupted(kind);
                              });
      if (!more || Interrupted(kind)) break;
      continue;
    }
    if (q.lenLine != nullptr && log::MainLogOn()) {
      log::LogMain(q.lenLine, *q.carryLen);
      log::LogMain(q.decodeLine, RecvHex(q.carry, *q.carryLen, true));
    }
    // The queues hold whole segments back to back; only a cut-off queue
    // (overflow) leaves noise in front.
    const SegmentScan seg = ScanSegment(q.carry, *q.carryLen);
    const uint32_t skip = seg.noise + seg.strays;
    if (skip != 0) {
      std::memmove(q.carry, q.carry + skip, *q.carryLen - skip);
      *q.carryLen -= skip;
    }
    if (seg.length == 0) {
      needMore = true;
      continue;
    }
    const uint32_t frameLen = TakeFrame(q, seg.length);
    if (frameLen == 0) continue;  // dropped
    if (m_byRecvFrame[kFrameOffChannel] != q.channel) return 0;
    const uint32_t copy = std::min<uint32_t>(FrameDataLength(m_byRecvFrame), capacity);
    if (copy > 0) std::memcpy(out, m_byRecvFrame + kFrameOffData, copy);
    return copy;
  }
  if (q.exitLine && received) log::LogMain("exit !=0");
  return 0;
}

}  // namespace pdu::device
