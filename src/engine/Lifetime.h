// The module's lifetime: one state machine, one mutex, one condition
// variable.
//
//   unconstructed --PDUConstruct--> constructing --VCI open--> constructed
//        ^   ^                           |                        |
//        |   +------ no VCI -------------+        PDUDestruct, exit teardown
//        |                                                        v
//        +------------------------------------------------- destructing
//   any --process exit (teardown done or given up)--> ended
//
// Exactly one thread at a time holds the turn: the right to construct or
// tear down. The holder alone starts, stops and joins the engine thread,
// opens and closes the port and the log, and pins or unpins the library
// (ModuleState's thread object is guarded by the turn, so the compiler
// checks that no one else joins it). Every other caller waits for the turn
// with the bound its row of the transition table gives (docs/architecture.md,
// "The module's lifetime") or returns at once.
//
// Threads: application threads (PDUConstruct, PDUDestruct), the engine
// thread (PDUDestruct from a callback: never waits), the thread that runs
// the library's teardown at exit or unload. Lock order: this lock is a
// leaf: nothing is taken while holding it, and it is never held across a
// wait for anything but the turn itself.
//
// Its mutex and condition variable are built in place and never torn down
// (the object's destructor is trivial), so a thread that still runs while
// the process exits may use it; a forked child builds them anew over the
// old ones (ForgetAfterFork).
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <thread>

#include "platform/Mutex.h"

namespace pdu::engine {

enum class Stage : uint8_t {
  kUnconstructed,
  kConstructing,
  kConstructed,
  kDestructing,
  kEnded,
};

class PDU_CAPABILITY("lifetime turn") Lifetime {
 public:
  // Waits without a bound.
  static constexpr uint32_t kNoBound = UINT32_MAX;

  Lifetime();
  Lifetime(const Lifetime&) = delete;
  Lifetime& operator=(const Lifetime&) = delete;

  // Takes the turn for a move to `next` (constructing or destructing):
  // waits up to boundMs (0: not at all; kNoBound: as long as it takes)
  // while another thread holds it. found is the stage at the moment of the
  // attempt's end: the stage the holder will leave behind it (true), or the
  // stage another holder is in (false). False also once the process has
  // ended (found: kEnded).
  bool TakeTurn(Stage next, uint32_t boundMs, Stage& found) PDU_TSA(try_acquire_capability(true));
  // Gives the turn back, leaving the module in `stage` (unconstructed or
  // constructed); when the process ended meanwhile, every reader sees
  // kEnded whatever the stage says.
  void GiveTurn(Stage stage) PDU_RELEASE();

  // The process is ending: nothing is started again, and a turn taken
  // before ends in kEnded. Never blocks (Windows calls it while the OS has
  // ended threads that may have held the lock).
  void MarkEnded() { m_Ended.store(true); }
  bool Ended() const { return m_Ended.load(); }

  // The stage as it is now (for tests and log lines; may change at once).
  Stage Current() const;

  // In a forked child: the parent's threads are gone and one of them may
  // have held the mutex. Starts afresh, unconstructed.
  void ForgetAfterFork();
  // Back to a fresh process's state (tests; only while no thread uses it).
  void Reset();

 private:
  // Built in place, never destroyed (see the top of this file).
  struct Sync {
    platform::Mutex mutex;
    std::condition_variable turnFree;
  };
  alignas(Sync) unsigned char m_SyncStorage[sizeof(Sync)];
  Sync* const m_Sync;
  Stage m_Stage PDU_GUARDED_BY(m_Sync->mutex) = Stage::kUnconstructed;
  bool m_Held PDU_GUARDED_BY(m_Sync->mutex) = false;
  std::atomic<bool> m_Ended{false};
};

// The one lifetime of the module. Usable from library load to the process's
// last instruction.
extern Lifetime g_Lifetime;

// Holds the turn for its scope when it got it (held()); gives it back with
// the stage set by Leave (by default: the stage found, so a call that
// fails half-way by an exception leaves the module as it found it).
class PDU_SCOPED_CAPABILITY LifetimeTurn {
 public:
  LifetimeTurn(Stage next, uint32_t boundMs) PDU_ACQUIRE(g_Lifetime)
      : held_(g_Lifetime.TakeTurn(next, boundMs, found_)), leave_(found_) {}
  ~LifetimeTurn() PDU_RELEASE() {
    if (held_) g_Lifetime.GiveTurn(leave_);
  }
  LifetimeTurn(const LifetimeTurn&) = delete;
  LifetimeTurn& operator=(const LifetimeTurn&) = delete;

  // False: another thread holds the turn (found() says in which stage) or
  // the process has ended. Nothing the turn guards may be touched then.
  bool held() const { return held_; }
  Stage found() const { return found_; }
  void Leave(Stage stage) { leave_ = stage; }

 private:
  Stage found_ = Stage::kUnconstructed;
  bool held_;
  Stage leave_;
};

}  // namespace pdu::engine
