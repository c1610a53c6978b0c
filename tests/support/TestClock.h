// Clocks for tests (installed with platform::SetClock).
//
// ManualClock: time moves only when the test says so. Library threads that
// pause or wait with a timeout block until Advance moves the time past their
// deadline (or, for waits, their condition comes true), so a test asserts a
// 3000 ms timeout as exactly 3000 ms without spending it:
//
//   test::ManualClock clock;             // installed until destroyed
//   ... start the call on a thread ...
//   clock.WaitForBlocked(2);             // receive thread + the caller
//   clock.Advance(2999);  // not yet
//   clock.Advance(1);     // now it times out
//
// Advance wakes a waiter by taking its mutex: call it from the thread that
// also destroys the library's objects (the test's own thread).
//
// InstantPauseClock: real time for waits, but pauses (the open sequence's
// settle time) return at once and move the tick count on by their length
// instead. TestVci installs it while no other clock is set, so that every
// construction does not wait half a second. Its ticks do not tell the
// machine's uptime: they start at kInstantClockStart when the process first
// uses it, a value no recorded transcript holds (ticks in a log line are
// told from other numbers by their range).
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <vector>

#include "platform/Clock.h"
#include "platform/Mutex.h"

namespace pdu::test {

class ManualClock final : public platform::Clock {
 public:
  explicit ManualClock(uint32_t start = 1000000);
  ~ManualClock() override;
  ManualClock(const ManualClock&) = delete;
  ManualClock& operator=(const ManualClock&) = delete;

  uint32_t Ticks() override;
  void Sleep(uint32_t ms) override;
  bool WaitFor(std::unique_lock<std::mutex>& lock, std::condition_variable& cv, uint32_t ms,
               platform::PredicateRef pred) override;

  // Moves the time on by ms and wakes every pause and wait that is due.
  void Advance(uint32_t ms);
  // While on, a pause returns at once and moves the time on by its length
  // (waits still need Advance): a whole construction against a healthy
  // VCI, with its settle pause and DTR pulse, runs on this clock, and a
  // test then steps the waits of a ComPrimitive by hand.
  void SetInstantPauses(bool on);
  // Waits (in real time, at most realTimeoutMs) until at least count
  // threads are blocked on this clock; false when they never were.
  bool WaitForBlocked(size_t count, uint32_t realTimeoutMs = 10000);
  // Waits (in real time) until some thread is blocked in a wait that ends
  // exactly at tick `deadline`: how a test sees that the library waits
  // exactly so long, and knows when stepping the clock is safe.
  bool WaitForWaitUntil(uint32_t deadline, uint32_t realTimeoutMs = 10000);
  // The ticks at which the current waits end (for failure messages).
  std::vector<uint32_t> Deadlines();

 private:
  struct Waiter { std::mutex* mu; std::condition_variable* cv; uint32_t deadline; };
  platform::Mutex mu_;
  std::condition_variable changed_;  // time moved or the blocked set changed
  uint32_t now_ PDU_GUARDED_BY(mu_);
  size_t sleepers_ PDU_GUARDED_BY(mu_) = 0;
  bool instantPauses_ PDU_GUARDED_BY(mu_) = false;
  std::vector<Waiter*> waiters_ PDU_GUARDED_BY(mu_);
  platform::Clock* previous_ = nullptr;
};

inline constexpr uint32_t kInstantClockStart = 2000000000u;

class InstantPauseClock final : public platform::Clock {
 public:
  uint32_t Ticks() override;
  void Sleep(uint32_t ms) override;
  bool WaitFor(std::unique_lock<std::mutex>& lock, std::condition_variable& cv, uint32_t ms,
               platform::PredicateRef pred) override;

  // The one instance, never destroyed.
  static InstantPauseClock& Instance();

 private:
  InstantPauseClock();
  const uint32_t origin_;  // the OS tick count that reads as kInstantClockStart
  platform::Mutex mu_;
  uint32_t skipped_ PDU_GUARDED_BY(mu_) = 0;
};

}  // namespace pdu::test
