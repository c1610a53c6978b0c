#include "mdf/ObjectIds.h"

namespace pdu::mdf {

bool ObjectIdByShortName(std::string_view shortName, uint32_t& objectId) {
  for (const MdfObject& object : MdfObjectTable()) {
    if (object.ShortName == shortName) {
      objectId = object.ObjectId;
      return true;
    }
  }
  return false;
}

std::string ObjectIdToShortName(uint32_t objectId, std::string_view elementName) {
  for (const MdfObject& object : MdfObjectTable()) {
    if (object.ObjectId == objectId && object.ElementName == elementName) return object.ShortName;
  }
  return {};
}

const MdfObject* MdfObjectByKey(std::string_view key) {
  if (key.empty()) return nullptr;
  for (const MdfObject& object : MdfObjectTable()) {
    if (object.Key == key) return &object;
  }
  return nullptr;
}

}  // namespace pdu::mdf
