// The TestVci on a real pseudo-terminal, for the tests whose point is the
// serial port itself (descriptors, exclusive use, the tty's line
// settings). Path() is the slave device to give the library; the master
// side feeds the same fake VCI core as the in-memory line.
#pragma once

#include <memory>
#include <string>

#include "support/TestVci.h"

namespace pdu::test {

class PtyVci : public TestVci {
 public:
  PtyVci();
  ~PtyVci();

  // The slave device path.
  const std::string& Path() const;
  // Closes the master side: the library's reads fail as if unplugged.
  void HangUp();

 private:
  struct Pty;
  std::unique_ptr<Pty> p_;
};

}  // namespace pdu::test
