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

uint32_t LinkCounter() { return PDU_READ(m.g_hCLLCounter); }
uint32_t CoPCounter() { return PDU_READ(m.g_hCoPCounter); }
size_t QueuedJobs() { return PDU_READ(m.CopJobQueue.size()); }
engine::CopJob LastQueuedJob() { return PDU_READ(m.CopJobQueue.empty() ? engine::CopJob{} : m.CopJobQueue.back()); }
uint32_t Tp20Channel(size_t id) { return PDU_READ(m.Tp20ChannelTable.at(id)); }
size_t Tp20ChannelsInUse() {
  const auto table = PDU_READ(m.Tp20ChannelTable);
  size_t n = 0;
  for (uint32_t v : table) n += v;
  return n;
}
CALLBACKFNC CallbackOf(size_t index) { return PDU_READ(m.CallbackTable.at(index)); }
protocol::ZPDUProtocolHandling* HandlerOf(uint32_t hCLL) {
  engine::ApiLockGuard lock(engine::ApiLock());
  return engine::LinkHandler(hCLL);
}

}  // namespace pdu::test
