// BenchVci: vcisim's simulator inside the benchmark's own process, on a
// pseudo-terminal, on a thread of its own.
//
// The library opens the slave side like the VCI's serial adapter (through
// PDU7318_PORTS). The VciDevice answers every command as in vcisim, but a
// COP is answered at once by the benchmark: status 0, and in the same
// write a vehicle-data frame with the ECU's positive response (the
// request's CAN identifier + 8, service id + 0x40, the request's other
// bytes, then kResponseFill bytes of 'A'). So a round trip measures the
// library and the operating system, not a bus.
//
// The thread's allocations are not counted (AllocCounter), and its CPU
// time can be read from outside (CpuMicros), so that both are kept out of
// the module's figures.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <thread>

#include "Simulator.h"

namespace pdubench {

class BenchVci {
 public:
  // Bytes appended to every positive response (a VIN is 17).
  static constexpr size_t kResponseFill = 17;

  BenchVci();
  // A VCI that plays the scenario as vcisim does, COP included (the live
  // bus scenario streams the scenario's traffic).
  explicit BenchVci(const vcisim::Scenario& scenario);
  ~BenchVci();

  // Opens the pty pair and starts the thread. False with a reason.
  bool Start(std::string& error);
  void Stop();

  const std::string& Path() const { return sim_.SlavePath(); }
  // CPU time of the VCI thread so far.
  uint64_t CpuMicros() const;
  // Kernel thread id of the VCI thread (0 before it runs).
  int Tid() const { return tid_.load(std::memory_order_relaxed); }
  // The simulator's core (what it sent).
  vcisim::VciCore& Core() { return sim_.Core(); }

 private:
  vcisim::Simulator sim_;
  int stopFd_ = -1;
  std::thread thread_;
  std::atomic<int> tid_{0};
};

}  // namespace pdubench
