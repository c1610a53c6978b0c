// Locks the compiler can check.
//
// Clang's thread-safety analysis (-Wthread-safety) proves at compile time
// that every field marked PDU_GUARDED_BY(lock) is touched only with that
// lock held and that every function marked PDU_REQUIRES(lock) is called
// with it. The standard library's mutexes carry no such annotations, so the
// library takes its locks only through the thin wrappers below. With other
// compilers the annotations expand to nothing.
//
// Scoped guards only: MutexLock / RecursiveMutexLock take the lock in their
// constructor and release it in their destructor.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <new>

#include "platform/Clock.h"

#if defined(__clang__)
#define PDU_TSA(x) __attribute__((x))
#else
#define PDU_TSA(x)
#endif

#define PDU_CAPABILITY(name) PDU_TSA(capability(name))
#define PDU_SCOPED_CAPABILITY PDU_TSA(scoped_lockable)
#define PDU_GUARDED_BY(x) PDU_TSA(guarded_by(x))
#define PDU_PT_GUARDED_BY(x) PDU_TSA(pt_guarded_by(x))
#define PDU_REQUIRES(...) PDU_TSA(requires_capability(__VA_ARGS__))
#define PDU_EXCLUDES(...) PDU_TSA(locks_excluded(__VA_ARGS__))
#define PDU_ACQUIRE(...) PDU_TSA(acquire_capability(__VA_ARGS__))
#define PDU_RELEASE(...) PDU_TSA(release_capability(__VA_ARGS__))
#define PDU_RETURN_CAPABILITY(x) PDU_TSA(lock_returned(x))
#define PDU_NO_THREAD_SAFETY_ANALYSIS PDU_TSA(no_thread_safety_analysis)

namespace pdu::platform {

// A plain mutex. native() is for condition variables only.
class PDU_CAPABILITY("mutex") Mutex {
 public:
  Mutex() = default;
  Mutex(const Mutex&) = delete;
  Mutex& operator=(const Mutex&) = delete;
  void lock() PDU_ACQUIRE() { m_.lock(); }
  void unlock() PDU_RELEASE() { m_.unlock(); }
  bool try_lock() PDU_TSA(try_acquire_capability(true)) { return m_.try_lock(); }
  std::mutex& native() { return m_; }

 private:
  std::mutex m_;
};

// Holds a Mutex for its scope. Waits on a condition variable go through
// Wait/WaitUntil, which release and re-take the lock inside the wait (the
// analysis sees the lock held throughout, which is what the caller's code
// after the wait relies on).
class PDU_SCOPED_CAPABILITY MutexLock {
 public:
  explicit MutexLock(Mutex& m) PDU_ACQUIRE(m) : lock_(m.native()) {}
  ~MutexLock() PDU_RELEASE() {}
  MutexLock(const MutexLock&) = delete;
  MutexLock& operator=(const MutexLock&) = delete;

  template <class Pred>
  void Wait(std::condition_variable& cv, Pred pred) {
    cv.wait(lock_, pred);
  }
  // Waits at most ms milliseconds of the library's clock (platform/Clock.h).
  template <class Pred>
  bool WaitFor(std::condition_variable& cv, uint32_t ms, Pred pred) {
    return ClockWaitFor(lock_, cv, ms, pred);
  }
  template <class TimePoint, class Pred>
  bool WaitUntil(std::condition_variable& cv, const TimePoint& deadline, Pred pred) {
    return cv.wait_until(lock_, deadline, pred);
  }

 private:
  std::unique_lock<std::mutex> lock_;
};

// A recursive mutex that is never destroyed: it may be declared at
// namespace scope and still be taken by a thread that runs while the
// process exits (after static destructors have begun). Its storage is
// constructed in place and deliberately not torn down.
class PDU_CAPABILITY("mutex") RecursiveMutex {
 public:
  RecursiveMutex() { new (&storage_) std::recursive_timed_mutex(); }
  RecursiveMutex(const RecursiveMutex&) = delete;
  RecursiveMutex& operator=(const RecursiveMutex&) = delete;
  void lock() PDU_ACQUIRE() { native().lock(); }
  void unlock() PDU_RELEASE() { native().unlock(); }
  bool try_lock() PDU_TSA(try_acquire_capability(true)) { return native().try_lock(); }
  // Takes it within ms milliseconds (TimedLock below); true when taken.
  bool TryLockFor(unsigned ms) PDU_TSA(try_acquire_capability(true));
  // In a forked child: a thread of the parent may have held it, and that
  // thread did not come along. Made anew (the old state is abandoned).
  void ReinitAfterFork() { new (&storage_) std::recursive_timed_mutex(); }
  std::recursive_timed_mutex& native() {
    return *std::launder(reinterpret_cast<std::recursive_timed_mutex*>(&storage_));
  }

 private:
  alignas(std::recursive_timed_mutex) unsigned char storage_[sizeof(std::recursive_timed_mutex)];
};

// Takes m within ms milliseconds through a wait that the sanitizers
// intercept (ThreadSanitizer misses the clock-selecting timed lock the
// standard library uses). On Linux it waits on the realtime clock, so a
// step of the system clock meanwhile can lengthen or shorten the bound.
// Released with m.unlock().
bool TimedLock(std::recursive_timed_mutex& m, unsigned ms);

inline bool RecursiveMutex::TryLockFor(unsigned ms) { return TimedLock(native(), ms); }

class PDU_SCOPED_CAPABILITY RecursiveMutexLock {
 public:
  explicit RecursiveMutexLock(RecursiveMutex& m) PDU_ACQUIRE(m) : m_(m) { m_.lock(); }
  // Takes over a lock the caller already holds (TryLockFor).
  RecursiveMutexLock(RecursiveMutex& m, std::adopt_lock_t) PDU_REQUIRES(m) : m_(m) {}
  ~RecursiveMutexLock() PDU_RELEASE() { m_.unlock(); }
  RecursiveMutexLock(const RecursiveMutexLock&) = delete;
  RecursiveMutexLock& operator=(const RecursiveMutexLock&) = delete;

 private:
  RecursiveMutex& m_;
};

}  // namespace pdu::platform
