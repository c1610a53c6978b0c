// Chooses and makes the protocol handler of a new ComLogicalLink.
#pragma once

#include <memory>

#include "protocol/ZPDUProtocolHandling.h"

namespace pdu::protocol {

// The handler for a protocol short name (exact, case-sensitive; the first
// row of the selection table that matches), with initUniqueRespComparam
// already run; null for a name without a handler class, a null name or
// when memory runs out. The link table owns the result.
std::unique_ptr<ZPDUProtocolHandling> CreateProtocolHandler(const char* protocolShortName);

}  // namespace pdu::protocol
