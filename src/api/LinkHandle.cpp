#include "api/LinkHandle.h"

#include "api/ApiState.h"
#include "engine/LinkTables.h"

namespace pdu::api {

protocol::ZPDUProtocolHandling* CheckedLink(uint32_t hCLL) {
  if (hCLL == 0 || hCLL > g_hCLLCounter || hCLL > kMaxLinkHandle) return nullptr;
  return engine::LinkHandler(hCLL);
}

}  // namespace pdu::api
