// Object identifiers of the module description by short name and back.
//
// Both walk MdfObjectTable in file order, compare exactly and
// case-sensitively, and stop at the first match. They only read the table,
// which is written by the loaders during PDUConstruct alone, so they take no
// lock; callable from any thread after construction.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "mdf/MdfTables.h"

namespace pdu::mdf {

// The ObjectId of the first object with that short name, of any kind (a
// protocol and a resource sharing a name give whichever stands first).
// False, objectId untouched, when no object carries the name.
bool ObjectIdByShortName(std::string_view shortName, uint32_t& objectId);

// The short name of the first object with that identifier whose element
// name is elementName ("COMPARAM", "PROTOCOL", "BUSTYPE", "IO_CTRL",
// "PINTYPE", "RESOURCE"); "" when there is none. The element name keeps
// apart objects of different kinds that share an identifier.
std::string ObjectIdToShortName(uint32_t objectId, std::string_view elementName);

// The first object whose element carries `key` as the value of its first
// attribute (EID="..." in module description files); nullptr when none.
// Lets a reference by attribute (<BUSTYPE IDREF="..."/> in a resource) be
// resolved when it does not hold a short name.
const MdfObject* MdfObjectByKey(std::string_view key);

}  // namespace pdu::mdf
