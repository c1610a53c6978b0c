// The library's clock: the tick count, pauses and timed waits.
//
// Every tick value the library logs or stamps, every pause (the open
// sequence's settle time, the reset pulse) and every timed wait on a
// condition variable (answers of the VCI, the engine's exit) goes through
// the one Clock installed here. Production uses the real clock (the OS tick
// count, sleeps and condition-variable deadlines, no polling); tests install
// a clock of their own that moves only when told, so that a 3000 ms timeout
// is seen to be exactly 3000 ms without waiting for it.
//
// Timed waits: WaitFor blocks on the caller's condition variable with the
// caller's mutex held in `lock`, like std::condition_variable::wait_until
// with a predicate. A clock that moves time by hand must wake such waits;
// it does so by taking the waiter's mutex and notifying its condition
// variable, so both must outlive every clock step made while the wait may
// run (true when the thread that steps the clock also destroys the objects
// whose threads wait).
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>

namespace pdu::platform {

// A non-owning reference to a predicate (the callers' lambdas live for the
// whole wait); no allocation per wait.
class PredicateRef {
 public:
  template <class F>
  PredicateRef(F& f)  // NOLINT: implicit on purpose
      : obj_(&f), call_([](void* o) { return static_cast<bool>((*static_cast<F*>(o))()); }) {}
  bool operator()() const { return call_(obj_); }

 private:
  void* obj_;
  bool (*call_)(void*);
};

class Clock {
 public:
  virtual ~Clock() = default;
  // Milliseconds since an arbitrary start, wrapping at 2^32.
  virtual uint32_t Ticks() = 0;
  // Blocks the calling thread for ms milliseconds.
  virtual void Sleep(uint32_t ms) = 0;
  // Waits on cv (lock held on entry and on return) until pred() is true or
  // ms milliseconds passed; returns pred()'s last value.
  virtual bool WaitFor(std::unique_lock<std::mutex>& lock, std::condition_variable& cv,
                       uint32_t ms, PredicateRef pred) = 0;
};

// The OS clock (the default).
Clock& RealClock();

// Installs the clock every later call uses; nullptr restores the real clock.
// Returns the clock installed before. Tests set it while no library thread
// runs.
Clock* SetClock(Clock* clock);
Clock& CurrentClock();

// Shorthands for the current clock.
inline uint32_t ClockTicks() { return CurrentClock().Ticks(); }
inline void ClockSleep(uint32_t ms) { CurrentClock().Sleep(ms); }
template <class Pred>
bool ClockWaitFor(std::unique_lock<std::mutex>& lock, std::condition_variable& cv, uint32_t ms,
                  Pred pred) {
  return CurrentClock().WaitFor(lock, cv, ms, PredicateRef(pred));
}

}  // namespace pdu::platform
