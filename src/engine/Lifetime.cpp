#include "engine/Lifetime.h"

#include <new>

namespace pdu::engine {

Lifetime g_Lifetime;

Lifetime::Lifetime() : m_Sync(new (m_SyncStorage) Sync) {}

bool Lifetime::TakeTurn(Stage next, uint32_t boundMs, Stage& found) PDU_NO_THREAD_SAFETY_ANALYSIS {
  platform::MutexLock lock(m_Sync->mutex);
  const auto free = [&]() PDU_NO_THREAD_SAFETY_ANALYSIS { return !m_Held || m_Ended.load(); };
  bool got = free();
  if (!got && boundMs == kNoBound) {
    lock.Wait(m_Sync->turnFree, free);
    got = true;
  } else if (!got && boundMs != 0) {
    got = lock.WaitFor(m_Sync->turnFree, boundMs, free);
  }
  if (m_Ended.load()) {
    found = Stage::kEnded;
    return false;
  }
  found = m_Stage;
  if (!got) return false;
  m_Held = true;
  m_Stage = next;
  return true;
}

void Lifetime::GiveTurn(Stage stage) PDU_NO_THREAD_SAFETY_ANALYSIS {
  {
    platform::MutexLock lock(m_Sync->mutex);
    m_Held = false;
    // After the end the stage is not read: m_Ended answers for it.
    m_Stage = stage;
  }
  m_Sync->turnFree.notify_all();
}

Stage Lifetime::Current() const {
  if (m_Ended.load()) return Stage::kEnded;
  platform::MutexLock lock(m_Sync->mutex);
  return m_Stage;
}

void Lifetime::ForgetAfterFork() PDU_NO_THREAD_SAFETY_ANALYSIS {
  // The old mutex may be locked for good (its holder did not come along
  // into the child); it is left as it is.
  new (m_SyncStorage) Sync;
  m_Stage = Stage::kUnconstructed;
  m_Held = false;
  m_Ended.store(false);
}

void Lifetime::Reset() PDU_NO_THREAD_SAFETY_ANALYSIS {
  platform::MutexLock lock(m_Sync->mutex);
  m_Stage = Stage::kUnconstructed;
  m_Held = false;
  m_Ended.store(false);
}

}  // namespace pdu::engine
