// BenchVci: the fastest VCI there can be, on a pseudo-terminal, inside the
// benchmark's own process.
//
// The library opens the slave side like the VCI's serial adapter (through
// PDU7318_PORTS). One thread blocks in poll() on the master side and a stop
// eventfd; it splits the incoming bytes with the library's frame codec and
// answers every frame at once:
//
//   PROBE (management channel)  16 zero bytes
//   OPEN                        status 0, version word
//   COP                         status 0, and in the same write a
//                               vehicle-data frame with the ECU's positive
//                               response: the request's CAN identifier,
//                               service id + 0x40, the request's other
//                               bytes, then kResponseFill bytes of 'A'
//   anything else               status 0
//
// So a round trip measures the library and the operating system, not a
// bus. Nothing on the answer path allocates, and the thread's CPU time can
// be read from outside (CpuMicros) so that it is kept out of the module's
// figures.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <thread>

#include "device/DeviceFrame.h"

namespace pdubench {

class BenchVci {
 public:
  // Bytes appended to every positive response (a VIN is 17).
  static constexpr size_t kResponseFill = 17;

  BenchVci() = default;
  ~BenchVci();
  BenchVci(const BenchVci&) = delete;
  BenchVci& operator=(const BenchVci&) = delete;

  // Opens the pty pair and starts the thread. False with a reason.
  bool Start(std::string& error);
  void Stop();

  const std::string& Path() const { return slavePath_; }
  // CPU time of the VCI thread so far.
  uint64_t CpuMicros() const;
  // Kernel thread id of the VCI thread (0 before it runs).
  int Tid() const { return tid_.load(std::memory_order_relaxed); }
  // ComPrimitives answered so far.
  uint64_t CopsAnswered() const { return cops_.load(std::memory_order_relaxed); }

 private:
  void Run();
  void OnSegment(const uint8_t* segment, size_t length);
  // Builds and stuffs one frame at the end of out_.
  void Append(uint8_t channel, uint8_t command, const uint8_t* data, size_t n);
  void Flush();

  int master_ = -1;
  int slaveHold_ = -1;
  int stopFd_ = -1;
  std::string slavePath_;
  std::thread thread_;
  std::atomic<uint64_t> cops_{0};
  std::atomic<int> tid_{0};

  // VCI thread only.
  pdu::device::FrameSplitter splitter_;
  uint16_t seqManagement_ = 0;
  uint16_t seqVehicle_ = 0;
  uint8_t frame_[pdu::device::kMaxBuiltFrame] = {};
  uint8_t built_[pdu::device::kMaxBuiltFrame] = {};
  uint8_t out_[4 * pdu::device::kMaxStuffedFrame] = {};
  size_t outLen_ = 0;
};

}  // namespace pdubench
