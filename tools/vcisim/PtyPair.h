// A pseudo-terminal pair for a fake VCI: the library opens the slave like
// the VCI's serial adapter; the VCI reads and writes the master (set
// non-blocking, so that a library that stopped reading cannot block it).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace vcisim {

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
  // Writes the bytes to the master; byteByByte pauses between bytes, so
  // that the library's reader sees them in separate reads. When nobody
  // reads for 200 ms the rest is given up: returns how many bytes that is.
  size_t Write(const uint8_t* bytes, size_t count, bool byteByByte = false);
  int Master() const { return master_; }
  const std::string& SlavePath() const { return slavePath_; }
  // Readable when a client closed the slave (-1 when closes cannot be
  // watched here); EndExclusiveUse then takes the events.
  int CloseWatch() const { return closeWatch_; }
  // Ends the exclusive mode (TIOCEXCL) a client set on the line. A real
  // serial adapter's terminal is released at its last close, and exclusive
  // mode with it; the slave held here keeps this one alive, so a client
  // killed before it could clear the mode would leave the line refusing
  // every later open by a user (root passes).
  void EndExclusiveUse();

 private:
  int master_ = -1;
  int slaveHold_ = -1;
  int closeWatch_ = -1;
  std::string slavePath_;
};

}  // namespace vcisim
