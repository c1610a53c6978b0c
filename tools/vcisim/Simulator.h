// The simulator's wire side: a pseudo-terminal whose slave end the library
// opens like the VCI's serial adapter, one thread that splits the incoming
// bytes into frames with the library's codec, hands them to the VciDevice
// and writes the answers back, on time, through the fault injector.
//
// The loop blocks in poll() on the pty master and a stop pipe, with the
// time of the next scheduled frame as its timeout: nothing spins.
//
// Faults (counted from the start of the run):
//   silentAfter N   frames after the N-th received frame get no answer
//   dropEvery N     every N-th outgoing frame is not written
//   corruptEvery N  every N-th outgoing frame goes out with a bad checksum
//   garbageEvery N  every N-th outgoing frame is preceded by stray bytes
//   splitWrites     every byte is written on its own
//   unplugAfter N   after answering the N-th received frame the master is
//                   closed, as if the adapter were pulled; the run ends
#pragma once

#include <cstdint>
#include <map>
#include <string>

#include "Bytes.h"
#include "Scenario.h"
#include "VciDevice.h"
#include "device/DeviceFrame.h"

namespace vcisim {

struct FaultOptions {
  uint32_t silentAfter = 0;  // 0: never
  uint32_t dropEvery = 0;
  uint32_t corruptEvery = 0;
  uint32_t garbageEvery = 0;
  uint32_t unplugAfter = 0;
  bool splitWrites = false;
};

struct SimOptions {
  std::string linkPath;  // symlink to the slave, "" for none
  bool trace = false;
  FaultOptions faults;
  DeviceOptions device;
};

// Owns the pty pair. The slave stays open here too, so that the master
// never sees a hang-up while the library has the port closed, and so that
// the line is raw (no echo) before the library configures it.
class PtyPair {
 public:
  PtyPair() = default;
  ~PtyPair();
  PtyPair(const PtyPair&) = delete;
  PtyPair& operator=(const PtyPair&) = delete;

  bool Open(std::string& error);
  // Closes the master (and the held slave): the library's reads fail.
  void HangUp();
  int Master() const { return master_; }
  const std::string& SlavePath() const { return slavePath_; }

 private:
  int master_ = -1;
  int slaveHold_ = -1;
  std::string slavePath_;
};

class Simulator {
 public:
  Simulator(const Scenario& scenario, SimOptions options);
  ~Simulator();
  Simulator(const Simulator&) = delete;
  Simulator& operator=(const Simulator&) = delete;

  // Opens the pty (and the symlink). False with a reason on failure.
  bool Start(std::string& error);
  const std::string& SlavePath() const { return pty_.SlavePath(); }

  // Serves until stopFd becomes readable or the adapter is unplugged.
  // Returns the process exit code.
  int Run(int stopFd);

 private:
  struct Scheduled {
    uint8_t channel;
    uint8_t command;  // 0: nothing to send, a trace note only
    Bytes data;
    std::string note;
  };

  uint32_t NowMs() const;
  void OnSegment(const uint8_t* segment, size_t length);
  void Emit(const Scheduled& frame);
  void WriteAll(const uint8_t* bytes, size_t count);
  void EmitDue();
  void Trace(const std::string& line);
  void Unplug();

  VciDevice device_;
  SimOptions options_;
  PtyPair pty_;
  bool linked_ = false;
  pdu::device::FrameSplitter splitter_;
  // Frames waiting for their time, by due time in ms; equal times keep
  // their order.
  std::multimap<uint32_t, Scheduled> schedule_;
  uint64_t startNs_ = 0;
  uint32_t received_ = 0;
  uint32_t sent_ = 0;
  uint16_t seqManagement_ = 0;
  uint16_t seqVehicle_ = 0;
  uint32_t random_ = 0x2545F491;
  bool unplugged_ = false;
  uint32_t unplugAtMs_ = 0;  // when --unplug-after pulls the plug, 0: not yet
};

}  // namespace vcisim
