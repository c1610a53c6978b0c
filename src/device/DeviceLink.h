// DeviceLink: the library's only way to the VCI.
//
// It owns the VCI's line (a Transport, by default the serial port) and
// the receive thread, sends DeviceFrames and
// sorts the incoming byte stream into two queues of whole frames:
//
//   port ──ReadThread──▶ OnReceive ──split at flags──┬─▶ vehicle-data queue
//                                                     │   (command 0x1E)
//                                                     └─▶ answer queue
//                                                         (everything else)
//
//   ReceiveAnswer / ReceiveProbeAnswer  take the answer queue,
//   ReceiveVehicleData                  takes the vehicle-data queue,
//
// cut the first frame out, validate it and hand back its data. Frames a
// receive operation took but did not need wait in that queue's carry-over
// buffer for the next operation on the same queue.
//
// Threads:
//   - ReadThread (started by OpenPort) is the only reader of the port and
//     the only caller of OnReceive.
//   - SendFrame, SendManagementFrame, ReceiveAnswer, ReceiveProbeAnswer and
//     DiscardAnswers run on the caller's thread; the callers serialise them
//     through the ApiLock (PDUConstruct runs before any other call).
//   - ReceiveVehicleData runs on the engine thread outside the ApiLock, at
//     the same time as the operations above.
//   - OpenPort and ClosePort run on the thread of PDUConstruct/PDUDestruct.
//
// Locks: m_RecvLock guards the raw buffer, m_dwCurSaveOff, both queues,
// their lengths and both carry-over buffers. Lock order: the ApiLock before
// m_RecvLock; nothing is called under m_RecvLock that takes another lock of
// ours. m_SendLock guards the send buffers and is never held together with
// m_RecvLock.
//
// Nothing on the send or receive path allocates: every buffer is a member.
// The object is large (about 0.5 MB); create it on the heap.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "device/DeviceFrame.h"
#include "log/PduLog.h"
#include "platform/Mutex.h"
#include "device/Transport.h"

namespace pdu::device {

class DeviceLink {
 public:
  // Buffer sizes of the receive path.
  static constexpr uint32_t kRecvBufferSize = 65536;   // raw bytes not yet split
  static constexpr uint32_t kQueueSize = 65536;        // each of the two queues
  static constexpr uint32_t kCarrySize = 5000;         // each carry-over buffer
  static constexpr uint32_t kReadChunkSize = 5000;     // one read of ReadThread
  static constexpr uint32_t kProbeTimeoutMs = 1100;    // ReceiveProbeAnswer's wait
  static constexpr uint32_t kWriteTimeoutMs = 500;     // wait for a write to complete

  // Writes "--3" to the main log. The port is closed, no thread runs. The
  // line comes from the transport factory (Transport.h).
  DeviceLink();
  // Stops ReadThread and closes the port (ClosePort).
  ~DeviceLink();
  DeviceLink(const DeviceLink&) = delete;
  DeviceLink& operator=(const DeviceLink&) = delete;

  // ---- serial session ------------------------------------------------

  // Tries the candidates of FindSerialPorts in order: open (a busy port is
  // skipped with a log line), drop DTR and RTS, configure, ask for low
  // latency, pulse DTR (skipped on a port without modem lines), start
  // ReadThread,
  // wait 500 ms for the VCI to settle, then probe on the management channel
  // at most twice. The first port that answers stays open with ReadThread
  // running: true. A port that fails is closed (and its thread stopped)
  // before the next is tried. False when none answered.
  bool OpenPort();

  // Stops ReadThread (wakes its blocked read, joins it) and closes the port;
  // m_dwCurSaveOff becomes 0. Safe when nothing is open.
  void ClosePort();

  // The first steps of OpenPort for one path: open, modem lines low,
  // configure, low latency, DTR pulse.
  // No thread, no probe. Tools and tests use it to attach a known port.
  bool OpenPortPath(const std::string& path);

  // Starts ReadThread on the open port (keep-going set to 1 first).
  void StartReadThread();

  // The probe of a port OpenPortPath opened, as OpenPort does it (pdutool
  // doctor asks the same): starts ReadThread, gives the VCI 500 ms to
  // settle, then sends PROBE on the management channel at most twice.
  // Returns the answer's data length (copied into answer), 0 when none came.
  uint32_t ProbeOpenPort(uint8_t* answer, uint32_t capacity);

  bool PortIsOpen() const { return m_Port->IsOpen(); }
  const std::string& PortPath() const { return m_Port->Path(); }
  // True while ReadThread runs its loop.
  bool ReadThreadRunning() const { return m_dwRunning.load() != 0; }

  // ---- sending -------------------------------------------------------

  // Builds a vehicle-channel (0x12) frame with the next sequence number,
  // logs it, stuffs and writes it. 1 when every byte was written, else 0
  // (port closed, write failed, or a stuffed frame above 5120 bytes).
  uint32_t SendFrame(uint8_t command, const uint8_t* data, uint32_t length);
  // The same on the management channel (0x01).
  uint32_t SendManagementFrame(uint8_t command, const uint8_t* data, uint32_t length);

  // ---- receive path --------------------------------------------------

  // ReadThread's hand-over of one chunk: appends it to the raw buffer,
  // queues every complete frame and wakes the waiting receive operation.
  void OnReceive(const uint8_t* bytes, uint32_t count);

  // Wait up to timeoutMs for the first valid frame of the answer queue; it
  // must be on the vehicle channel. Return its data length (its data copied
  // to out, cut to capacity: then capacity), or 0 when the port is closed,
  // nothing valid came in time, the frame is on the other channel or has
  // no data.
  uint32_t ReceiveAnswer(uint8_t* out, uint32_t capacity, uint32_t timeoutMs);
  // Waits up to timeoutMs (on the clock) until bytes of an answer frame
  // wait in the answer queue, without taking them: lets a test have a late
  // answer in before the next command, without sleeping.
  bool WaitAnswerQueued(uint32_t timeoutMs);
  // The same on the vehicle-data queue (frames with command 0x1E).
  uint32_t ReceiveVehicleData(uint8_t* out, uint32_t capacity, uint32_t timeoutMs);
  // The same on the answer queue for a management-channel frame, 1100 ms.
  uint32_t ReceiveProbeAnswer(uint8_t* out, uint32_t capacity);

  // Before a new request whose answer must not be confused with an old
  // one: drops the raw bytes not yet split and the answer queue. The
  // answer carry-over stays: a receive operation moved whole chunks of the
  // queue there, and what follows its frame may be the start of the next
  // one. The vehicle-data side is left alone. Logs "--5".
  void DiscardAnswers();

  // Teardown at process exit: every receive operation that waits returns
  // at once (nothing received), and so does every later one, until the
  // port is opened again.
  void AbortWaits();

  // The engine is stopping (PDUDestruct, a new PDUConstruct): a wait for
  // vehicle data returns at once, and so does every later one, until
  // ResumeVehicleDataWaits. Command answers are still received (CLOSE
  // needs its answer). On a bus that never falls quiet this is what ends a
  // listening ComPrimitive.
  void StopVehicleDataWaits();
  void ResumeVehicleDataWaits();
  // True after StopVehicleDataWaits or AbortWaits.
  bool VehicleDataStopped() const;

  // The VCI is gone: a read found the adapter removed (hang-up, EIO,
  // ENXIO, ENODEV) or a frame could not be written. Logs "VCI lost on
  // PORT: CALL error N" once, wakes every waiting receive operation; from
  // now on every receive returns at once and nothing is written, until a
  // port is opened again (a new PDUConstruct).
  void MarkLost(const char* call, int error);
  bool Lost() const { return m_dwLost.load() != 0; }

  // A new session (the VCI answered OPEN): drops every vehicle-data frame
  // received before, also from a client of the VCI that died without
  // CLOSE. Returns the bytes dropped (logged when not 0).
  uint32_t DiscardVehicleData();
  // Windows process exit, where the OS has already ended the receive
  // thread: its object is given up without a join (see ModuleState).
  void AbandonOnProcessExit();

  // Raw bytes held (for tests and the log).
  uint32_t CurSaveOff();

 private:
  // Which queue a receive operation works on, what it requires and logs.
  struct ReceiveQueue;
  enum class ReceiveKind { kAnswer, kVehicleData, kProbe };

  uint32_t SendOnChannel(uint8_t channel, uint8_t command, const uint8_t* data, uint32_t length);
  uint32_t Receive(ReceiveKind kind, uint8_t* out, uint32_t capacity, uint32_t timeoutMs);
  // OpenPortPath's steps: open (false: busy or failed, nothing to close);
  // modem lines low, configure, low latency, DTR pulse (false: the port is
  // unusable and still open). LineFailed logs "<what> <port> failed:
  // <call> error <code>", the OS's own words.
  bool OpenLine(const std::string& path);
  bool SetUpLine(const std::string& path);
  void LineFailed(const char* what, const std::string& path);
  ReceiveQueue QueueFor(ReceiveKind kind);
  // Receive's steps: moves queued bytes into the carry-over (false when
  // there were none or it is full); unstuffs and checks the segment at the
  // front of the carry-over into m_byRecvFrame and removes it (0: dropped).
  bool TakeQueued(const ReceiveQueue& q) PDU_REQUIRES(m_RecvLock);
  uint32_t TakeFrame(const ReceiveQueue& q, uint32_t segLen) PDU_REQUIRES(m_RecvLock);
  // True when a receive operation of this kind must not wait (any more).
  bool Interrupted(ReceiveKind kind) const;
  // Wakes every waiting receive operation (the flags they check changed).
  void WakeReceivers();
  // The Transport, wrapped so that a read that finds the adapter gone
  // marks the VCI lost, and opening again clears that.
  class WatchedTransport;
  void ReadThread();
  // Which queues got frames during one OnReceive.
  struct Arrived {
    bool answer = false;
    bool carData = false;
  };
  // OnReceive's work under m_RecvLock: append, split, queue.
  void SplitReceived(const uint8_t* bytes, uint32_t count, Arrived& arrived) PDU_REQUIRES(m_RecvLock);
  void QueueSegment(const uint8_t* segment, uint32_t length, Arrived& arrived) PDU_REQUIRES(m_RecvLock);
  // Hex text of the receive side into m_szRecvHex (under m_RecvLock).
  const char* RecvHex(const uint8_t* bytes, uint32_t count, bool spaced) PDU_REQUIRES(m_RecvLock);

  // Never null; made once by the constructor.
  std::unique_ptr<Transport> m_Port;
  std::thread m_ReadThread;
  // 1 while ReadThread runs its loop; set when it is started, cleared by
  // ClosePort and by a fatal read.
  std::atomic<uint32_t> m_dwRunning{0};
  // ReadThread loops while non-zero; OpenPort sets it, ClosePort clears it.
  std::atomic<uint32_t> m_dwKeepGoing{1};
  // Set by AbortWaits, cleared by OpenPortPath.
  std::atomic<uint32_t> m_dwAborted{0};
  // Set by StopVehicleDataWaits, cleared by ResumeVehicleDataWaits.
  std::atomic<uint32_t> m_dwCarDataStopped{0};
  // Set by MarkLost, cleared when the line is opened again.
  std::atomic<uint32_t> m_dwLost{0};

  platform::Mutex m_RecvLock;
  std::condition_variable m_AnswerArrived;   // answer queue got bytes
  std::condition_variable m_CarDataArrived;  // vehicle-data queue got bytes

  // Raw receive buffer: bytes read and not yet split into frames;
  // m_dwCurSaveOff of them are valid. After every OnReceive it starts with
  // the opening flag of an incomplete frame, or is empty.
  uint32_t m_dwCurSaveOff PDU_GUARDED_BY(m_RecvLock) = 0;
  uint8_t m_byRecvBuffer[kRecvBufferSize] PDU_GUARDED_BY(m_RecvLock) = {};
  // Whole stuffed frames back to back.
  uint32_t m_dwCarDataLen PDU_GUARDED_BY(m_RecvLock) = 0;
  uint8_t m_byCarDataQueue[kQueueSize] PDU_GUARDED_BY(m_RecvLock) = {};
  uint32_t m_dwAnswerLen PDU_GUARDED_BY(m_RecvLock) = 0;
  uint8_t m_byAnswerQueue[kQueueSize] PDU_GUARDED_BY(m_RecvLock) = {};
  // Frames taken from a queue but not yet returned, one buffer per queue so
  // that a vehicle-data frame can never come back as a command's answer.
  uint32_t m_dwAnswerCarryLen PDU_GUARDED_BY(m_RecvLock) = 0;
  uint8_t m_byAnswerCarry[kCarrySize] PDU_GUARDED_BY(m_RecvLock) = {};
  uint32_t m_dwCarDataCarryLen PDU_GUARDED_BY(m_RecvLock) = 0;
  uint8_t m_byCarDataCarry[kCarrySize] PDU_GUARDED_BY(m_RecvLock) = {};
  // Unstuffed frame being validated (under m_RecvLock).
  uint8_t m_byRecvFrame[kMaxReceivedFrame] PDU_GUARDED_BY(m_RecvLock) = {};
  // Log text of the receive side (under m_RecvLock).
  char m_szRecvHex[3 * log::kHexDumpMaxBytes + 1] PDU_GUARDED_BY(m_RecvLock) = {};

  // ReadThread's read buffer (ReadThread only).
  uint8_t m_byReadChunk[kReadChunkSize] = {};

  platform::Mutex m_SendLock;
  uint8_t m_bySendFrame[kMaxBuiltFrame] PDU_GUARDED_BY(m_SendLock) = {};
  uint8_t m_bySendStuffed[kMaxStuffedFrame] PDU_GUARDED_BY(m_SendLock) = {};
  char m_szSendHex[2 * kMaxBuiltFrame + 1] PDU_GUARDED_BY(m_SendLock) = {};
};

// The serial devices to try, in order (the platform's candidate list, at
// most 260 entries). False when the list could not be read.
bool FindSerialPorts(std::vector<std::string>& ports);

// The module's DeviceLink (g_DeviceLink), null while the library has no
// VCI. The module state owns it (created by PDUConstruct, released by
// PDUDestruct) and publishes it here for the device commands; every sender
// checks it.
DeviceLink* GetDeviceLink();
void SetDeviceLink(DeviceLink* link);

// The two process-wide 16-bit frame counters (management, vehicle). They
// start at 0 when the library is loaded, are incremented before each frame
// of their channel is built (so the first frame carries 1) and survive
// PDUDestruct/PDUConstruct. Reset only for tools and tests that need known
// sequence numbers.
uint16_t ManagementFrameCounter();
uint16_t VehicleFrameCounter();
void ResetFrameCounters();

}  // namespace pdu::device
