// The ComParam items of a link as the four ComParam functions hand them out
// and keep them (LinkItems.cpp): the application's items are copied in, the
// items handed out are new and released by PDUDestroyItem. Every function
// runs inside an exported call and so under the ApiLock, and writes the
// main log's lines of its call.
#pragma once

#include <cstdint>

#include "pdu_api.h"

namespace pdu::protocol {
class ZPDUProtocolHandling;
}

namespace pdu::engine {

// A new item of the link's value of ComParam paramId; a ComParam the link
// does not hold comes back as type 0 with a 4-byte 0.
PDU_PARAM_ITEM* NewComParamItem(const protocol::ZPDUProtocolHandling& link, uint32_t paramId);
// Logs the item's value and keeps a clone of it in the link (as given: no
// check against the module description).
void KeepComParam(protocol::ZPDUProtocolHandling& link, const PDU_PARAM_ITEM& item);
// Keeps a deep copy of the table (the one kept before is released); each
// identifying ComParam that is no byte field also becomes a ComParam of
// the link, so the handler addresses the ECU of the last entry carrying it.
void KeepUniqueRespTable(protocol::ZPDUProtocolHandling& link, const PDU_UNIQUE_RESP_ID_TABLE_ITEM& table);
// A new copy of the link's table (an empty one when it has none), typed as
// our items whatever types the application put into the table it set.
PDU_UNIQUE_RESP_ID_TABLE_ITEM* NewUniqueRespTableItem(const protocol::ZPDUProtocolHandling& link);

}  // namespace pdu::engine
