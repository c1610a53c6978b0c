// The real clock and the slot that holds the installed one.
#include "platform/Clock.h"

#include <atomic>
#include <chrono>
#include <new>

#include "platform/Platform.h"

namespace pdu::platform {
namespace {

class OsClock final : public Clock {
 public:
  uint32_t Ticks() override { return GetTickCount(); }
  void Sleep(uint32_t ms) override { SleepMs(ms); }
  bool WaitFor(std::unique_lock<std::mutex>& lock, std::condition_variable& cv, uint32_t ms,
               PredicateRef pred) override {
    return cv.wait_until(lock, std::chrono::steady_clock::now() + std::chrono::milliseconds(ms),
                         pred);
  }
};

std::atomic<Clock*> g_Clock{nullptr};

}  // namespace

Clock& RealClock() {
  // Never destroyed: threads may still read the clock while the process
  // exits. It lives in the library's static storage rather than on the
  // heap, so an unloaded library leaves nothing behind.
  alignas(OsClock) static unsigned char storage[sizeof(OsClock)];
  static OsClock* const clock = new (storage) OsClock();
  return *clock;
}

Clock* SetClock(Clock* clock) {
  Clock* old = g_Clock.exchange(clock);
  return old != nullptr ? old : &RealClock();
}

Clock& CurrentClock() {
  Clock* c = g_Clock.load(std::memory_order_acquire);
  return c != nullptr ? *c : RealClock();
}

}  // namespace pdu::platform
