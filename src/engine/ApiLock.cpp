#include "engine/ApiLock.h"

namespace pdu::engine {

std::recursive_mutex& ApiLock() {
  // Constructed on first use and never destroyed, so that a call arriving
  // while the process exits still finds a valid lock.
  static auto* lock = new std::recursive_mutex();
  return *lock;
}

}  // namespace pdu::engine
