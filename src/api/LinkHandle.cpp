#include "api/LinkHandle.h"

#include "engine/LinkTables.h"
#include "engine/ModuleState.h"

namespace pdu::api {

protocol::ZPDUProtocolHandling* CheckedLink(uint32_t hCLL) {
  if (hCLL == 0 || hCLL > engine::Module().LastLinkHandle() || hCLL > engine::kMaxLinkHandle) return nullptr;
  return engine::LinkHandler(hCLL);
}

}  // namespace pdu::api
