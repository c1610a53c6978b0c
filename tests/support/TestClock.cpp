#include "support/TestClock.h"

#include <algorithm>
#include <chrono>

#include "platform/Platform.h"

namespace pdu::test {
namespace {

bool Reached(uint32_t now, uint32_t deadline) { return static_cast<int32_t>(now - deadline) >= 0; }

}  // namespace

ManualClock::ManualClock(uint32_t start) : now_(start) { previous_ = platform::SetClock(this); }

ManualClock::~ManualClock() { platform::SetClock(previous_); }

uint32_t ManualClock::Ticks() {
  platform::MutexLock lock(mu_);
  return now_;
}

void ManualClock::Sleep(uint32_t ms) {
  platform::MutexLock lock(mu_);
  if (instantPauses_) {
    // No waiter is woken: as with InstantPauseClock, a pause must not make
    // another thread's wait time out.
    now_ += ms;
    return;
  }
  const uint32_t deadline = now_ + ms;
  ++sleepers_;
  changed_.notify_all();
  lock.Wait(changed_, [&]() PDU_NO_THREAD_SAFETY_ANALYSIS { return Reached(now_, deadline); });
  --sleepers_;
}

bool ManualClock::WaitFor(std::unique_lock<std::mutex>& lock, std::condition_variable& cv,
                          uint32_t ms, platform::PredicateRef pred) {
  // Lock order: the waiter's mutex, then mu_. Advance never holds mu_
  // while it takes a waiter's mutex.
  Waiter self{lock.mutex(), &cv, 0};
  uint32_t deadline;
  {
    platform::MutexLock own(mu_);
    deadline = self.deadline = now_ + ms;
    waiters_.push_back(&self);
    changed_.notify_all();
  }
  bool result;
  while (!(result = pred())) {
    {
      platform::MutexLock own(mu_);
      if (Reached(now_, deadline)) break;
    }
    // Advance takes our mutex before it notifies, so a step made after
    // the check above is not lost.
    cv.wait(lock);
  }
  platform::MutexLock own(mu_);
  waiters_.erase(std::find(waiters_.begin(), waiters_.end(), &self));
  changed_.notify_all();
  return result;
}

void ManualClock::Advance(uint32_t ms) {
  std::vector<Waiter> wake;
  {
    platform::MutexLock lock(mu_);
    now_ += ms;
    for (Waiter* w : waiters_) wake.push_back(*w);
    changed_.notify_all();
  }
  for (const Waiter& w : wake) {
    std::lock_guard<std::mutex> hold(*w.mu);
    w.cv->notify_all();
  }
}

bool ManualClock::WaitForWaitUntil(uint32_t deadline, uint32_t realTimeoutMs) {
  std::unique_lock<std::mutex> lock(mu_.native());
  return changed_.wait_for(lock, std::chrono::milliseconds(realTimeoutMs), [&]() PDU_NO_THREAD_SAFETY_ANALYSIS {
    return std::any_of(waiters_.begin(), waiters_.end(), [&](const Waiter* w) { return w->deadline == deadline; });
  });
}

std::vector<uint32_t> ManualClock::Deadlines() {
  platform::MutexLock lock(mu_);
  std::vector<uint32_t> out;
  for (const Waiter* w : waiters_) out.push_back(w->deadline);
  return out;
}

void ManualClock::SetInstantPauses(bool on) {
  platform::MutexLock lock(mu_);
  instantPauses_ = on;
}

bool ManualClock::WaitForBlocked(size_t count, uint32_t realTimeoutMs) {
  std::unique_lock<std::mutex> lock(mu_.native());
  return changed_.wait_for(lock, std::chrono::milliseconds(realTimeoutMs),
                           [&]() PDU_NO_THREAD_SAFETY_ANALYSIS { return sleepers_ + waiters_.size() >= count; });
}

InstantPauseClock::InstantPauseClock() : origin_(platform::GetTickCount()) {}

uint32_t InstantPauseClock::Ticks() {
  platform::MutexLock lock(mu_);
  return kInstantClockStart + (platform::GetTickCount() - origin_) + skipped_;
}

void InstantPauseClock::Sleep(uint32_t ms) {
  if (ms == 0) return;
  // A pause of 1 ms is a retry loop's brake: keep it real.
  if (ms == 1) {
    platform::SleepMs(1);
    return;
  }
  platform::MutexLock lock(mu_);
  skipped_ += ms;
}

bool InstantPauseClock::WaitFor(std::unique_lock<std::mutex>& lock, std::condition_variable& cv,
                                uint32_t ms, platform::PredicateRef pred) {
  return platform::RealClock().WaitFor(lock, cv, ms, pred);
}

InstantPauseClock& InstantPauseClock::Instance() {
  static InstantPauseClock* clock = new InstantPauseClock();
  return *clock;
}

}  // namespace pdu::test
