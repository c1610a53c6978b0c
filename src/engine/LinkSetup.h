// The ComParam side of a ComLogicalLink: filling a new link with the
// defaults of the module description, and sending a link's resource,
// ComParams and unique response identifier table to the VCI at connect.
//
// The values themselves live in the link's LinkComParamSet (owned by its
// handler); this file only moves them between the module description, the
// set and the VCI. Every function runs inside an exported call and so
// under the ApiLock.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "pdu_api.h"

namespace pdu::protocol {
class ZPDUProtocolHandling;
}

namespace pdu::engine {

// A bus type or protocol named by a resource of the module description.
struct MdfName {
  uint32_t ObjectId = 0;  // 0 when the name stands for no object
  std::string ShortName;  // the object's short name (the name itself when unresolved)
};

// Resolves the name a resource gives for its bus type or protocol. Our own
// files name the object by its short name; module descriptions written in
// the standard's style refer by element id (<PROTOCOL IDREF="ID4260"/>
// naming <PROTOCOL EID="ID4260">), so a name that is no short name but the
// first attribute of a root element stands for that element.
MdfName ResolveMdfName(std::string_view name);

// The log text of a link's resource data: ids with their short names, the
// pin count and one line per pin (multi-line, logged with "%s").
std::string DumpRscData(const PDU_RSC_DATA& rsc);

// Fills a new link with the MDF defaults: first the protocol's ComParams,
// then the bus type's (a ComParam both carry ends with the bus type's
// default), then the unique response identifier table of one entry
// (identifier 0) holding the protocol's UNIQUE_ID ComParams.
void ApplyMdfDefaults(uint32_t protocolId, uint32_t busTypeId, protocol::ZPDUProtocolHandling& link);

// Marks the link ONLINE and sends its resource (VCI codes of bus type and
// protocol, pins, creation flag bytes) with VCI_CMD_SET_LINK_RESOURCE.
// Returns the command's result.
T_PDU_ERROR SendLinkSetup(uint32_t hMod, uint32_t hCLL, protocol::ZPDUProtocolHandling& link);

// One VCI_CMD_SET_LINK_PARAM per ComParam of the link that has a VCI code
// and a value, in list order. Returns the last command's result (0 when
// none was sent); a failed command does not stop the others.
T_PDU_ERROR ForwardLinkComParams(uint32_t hMod, uint32_t hCLL, protocol::ZPDUProtocolHandling& link);

// ---- log text of ComParam values ----------------------------------------

bool IsField(uint32_t dataType);  // PDU_PT_BYTEFIELD or PDU_PT_LONGFIELD

// MaxLen, ActLen and the first ActLen bytes of a byte or long field's data
// as spaced hex (for a long field these are bytes of its first values, as
// the log has always shown them). All empty for a null value or another
// data type.
struct FieldView {
  uint32_t maxLen = 0;
  uint32_t actLen = 0;
  std::string data;
};
FieldView ViewField(const void* value, uint32_t dataType);

}  // namespace pdu::engine
