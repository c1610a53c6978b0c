// Process-wide state of the API room: the handle counters, the TP2.0
// channel flags, the module status. The per-link tables that the engine
// also reads (LinkTable, CallbackTable, LinkTagTable) live in
// engine/LinkTables.h.
//
// Guarded by the ApiLock, except g_ModuleStatus, a plain flag read by
// PDUGetStatus.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>

namespace pdu::api {

// Last ComLogicalLink handle handed out in this construction (0: none).
// Handles are 1..kMaxLinkHandle and never reused before PDUConstruct.
extern uint32_t g_hCLLCounter;
// Last ComPrimitive handle handed out, one sequence over all links.
extern uint32_t g_hCoPCounter;

// Highest hCLL one construction can hand out (LinkTagTable has 1024 rows).
inline constexpr uint32_t kMaxLinkHandle = 1023;

// 1 for each TP2.0 channel id (0..99) held by a link.
inline constexpr size_t kTp20Channels = 100;
extern std::array<uint32_t, kTp20Channels> Tp20ChannelTable;

// PDU_MODST_* of the one module: AVAIL after PDUConstruct and
// PDUModuleDisconnect, READY after PDUModuleConnect.
extern std::atomic<uint32_t> g_ModuleStatus;

// The pCllTag of the last created link; only logged.
extern void* g_pCoPTag;

}  // namespace pdu::api
