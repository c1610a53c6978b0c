#include "support/ModuleProbe.h"

#include "engine/ModuleState.h"

namespace pdu::test {
namespace {

template <class F>
auto Locked(F&& read) {
  engine::ApiLockGuard lock(engine::ApiLock());
  return read(engine::Module());
}

}  // namespace

// The lambdas run inside Locked, with the lock held; the analysis cannot
// follow a lambda into the template, hence the annotation.
#define PDU_READ(expr) Locked([&](engine::ModuleState& m) PDU_NO_THREAD_SAFETY_ANALYSIS { return (expr); })

uint32_t LinkCounter() { return PDU_READ(m.LastLinkHandle()); }
size_t QueuedJobs() { return PDU_READ(m.QueuedJobs()); }
engine::CopJob LastQueuedJob() { return PDU_READ(m.LastQueuedJob()); }
size_t Tp20ChannelsInUse() { return PDU_READ(m.Tp20ChannelsHeld()); }
CALLBACKFNC CallbackOf(size_t index) { return PDU_READ(m.CallbackAt(index)); }
protocol::ZPDUProtocolHandling* HandlerOf(uint32_t hCLL) {
  engine::ApiLockGuard lock(engine::ApiLock());
  return engine::LinkHandler(hCLL);
}

}  // namespace pdu::test
