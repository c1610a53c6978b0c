// The simulator's wire side: a pseudo-terminal whose slave end the library
// opens like the VCI's serial adapter, and one thread that feeds the bytes
// from the master to the VciCore (frames, answers by the VciDevice,
// faults) and writes what the core sends back, on time.
//
// The loop blocks in poll() on the pty master and a stop descriptor, with
// the time of the next scheduled frame as its timeout: nothing spins. The
// faults are the core's (FaultOptions); after unplugAfter the master is
// closed, as if the adapter were pulled, and the run ends.
#pragma once

#include <cstdint>
#include <string>

#include "PtyPair.h"
#include "VciCore.h"
#include "VciDevice.h"

namespace vcisim {

struct SimOptions {
  std::string linkPath;  // symlink to the slave, "" for none
  bool trace = false;
  FaultOptions faults;
  uint32_t openStatus = 0;  // status of the OPEN answer
};

class Simulator {
 public:
  Simulator(const Scenario& scenario, SimOptions options);
  ~Simulator();

  // Opens the pty (and the symlink). False with a reason on failure.
  bool Start(std::string& error);
  const std::string& SlavePath() const { return pty_.SlavePath(); }

  // Serves until stopFd becomes readable or the adapter is unplugged.
  // Returns the process exit code.
  int Run(int stopFd);

  // The core, to set handlers (pdubench answers COP itself).
  VciCore& Core() { return core_; }

 private:
  uint32_t NowMs() const;
  // Writes every frame now due.
  void Flush();
  void WriteAll(const uint8_t* bytes, size_t count);
  void Trace(const std::string& line);
  void Unplug();

  VciDevice device_;
  SimOptions options_;
  VciCore core_;
  PtyPair pty_;
  bool linked_ = false;
  uint64_t startNs_ = 0;
  bool unplugged_ = false;
  Bytes out_;
};

}  // namespace vcisim
