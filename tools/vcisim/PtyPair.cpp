#include "PtyPair.h"

#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <termios.h>
#include <unistd.h>

namespace vcisim {

PtyPair::~PtyPair() { HangUp(); }

bool PtyPair::Open(std::string& error) {
  master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0) {
    error = std::string("cannot create a pseudo-terminal: ") + strerror(errno);
    return false;
  }
  const char* name = ptsname(master_);
  if (name == nullptr) {
    error = std::string("ptsname: ") + strerror(errno);
    return false;
  }
  slavePath_ = name;
  slaveHold_ = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (slaveHold_ < 0) {
    error = "cannot open " + slavePath_ + ": " + strerror(errno);
    return false;
  }
  termios tio{};
  if (tcgetattr(slaveHold_, &tio) == 0) {
    cfmakeraw(&tio);
    tcsetattr(slaveHold_, TCSANOW, &tio);
  }
  // A library that stopped reading must not block the simulator.
  fcntl(master_, F_SETFL, fcntl(master_, F_GETFL) | O_NONBLOCK);
  return true;
}

void PtyPair::HangUp() {
  if (master_ >= 0) ::close(master_);
  if (slaveHold_ >= 0) ::close(slaveHold_);
  master_ = -1;
  slaveHold_ = -1;
}

}  // namespace vcisim
