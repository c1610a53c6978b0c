#pragma once

#include <cstdint>

#include "engine/ApiLock.h"

namespace pdu::protocol {
class ZPDUProtocolHandling;
}

namespace pdu::api {

// The handler of a handle the application passed in, or null when hCLL
// names no link of this construction: 0, above the last handed-out handle,
// above 1023, or a link whose protocol has no handler. Callers answer
// PDU_ERR_INVALID_HANDLE for null. Caller holds the ApiLock.
protocol::ZPDUProtocolHandling* CheckedLink(uint32_t hCLL) PDU_REQUIRES(engine::g_ApiLock);

}  // namespace pdu::api
