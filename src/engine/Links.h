// The work behind PDUCreateComLogicalLink, PDUDestroyComLogicalLink,
// PDUConnect and PDUDisconnect (Links.cpp). Every function runs inside an
// exported call and so under the ApiLock; the handle was checked by the
// caller (a link's handler, never null).
//
// A ComLogicalLink is its protocol handler in LinkTable plus its rows in the
// other per-handle tables. Creation fills the handler's ComParam set with
// the MDF defaults; connecting sends resource, ComParams and unique
// response identifier table to the VCI and queues a link-status job, as
// disconnecting does, so that a callback learns the new state.
#pragma once

#include <cstdint>

#include "engine/ApiLock.h"
#include "pdu_api.h"

namespace pdu::protocol {
class ZPDUProtocolHandling;
}

namespace pdu::engine {

// Spends the next link handle on a new link (*phCLL), made from the
// application's resource data or, when rsc is null, from the module
// description's resource resourceId. A link whose protocol has no handler
// class still gets its handle (and answers PDU_ERR_INVALID_HANDLE later).
// PDU_ERR_RESOURCE_BUSY when no TP2.0 channel id is free.
T_PDU_ERROR CreateLink(const PDU_RSC_DATA* rsc, uint32_t resourceId, void* tag, const PDU_FLAG_DATA* createFlag,
                       uint32_t* phCLL) PDU_REQUIRES(g_ApiLock);
// Gives a TP2.0 link's channel id back and tells the VCI; the handler
// stays (the handle answers with it until the next construction).
void DestroyLink(uint32_t hMod, uint32_t hCLL, protocol::ZPDUProtocolHandling& handler) PDU_REQUIRES(g_ApiLock);
// Queues the link-status job and, with a VCI, sends the link's set-up.
void ConnectLink(uint32_t hMod, uint32_t hCLL, protocol::ZPDUProtocolHandling& handler) PDU_REQUIRES(g_ApiLock);
void DisconnectLink(uint32_t hMod, uint32_t hCLL, protocol::ZPDUProtocolHandling& handler)
    PDU_REQUIRES(g_ApiLock);

}  // namespace pdu::engine
