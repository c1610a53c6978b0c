#include "protocol/OwnTimingHandling.h"

#include "log/PduLog.h"

namespace pdu::protocol {

using log::LogMain;

ResponseClass OwnTimingHandling::parseResponse(const uint8_t* record, uint32_t length, uint32_t* flags,
                                               PDU_RESULT_DATA* result) {
  return handleResponse(record, length, flags, result, m_Rules, OwnTiming);
}

void OwnTimingHandling::applyTimingComparam() { applySnapshotTiming(OwnTiming, m_Initial); }

uint32_t OwnTimingHandling::currentWait(const char* format) {
  uint32_t timeout = OwnTiming.CurrentTimeout;
  LogMain(format, static_cast<int>(timeout));
  return timeout;
}

uint32_t OwnTimingHandling::p2PlusOneSecond(const char* format) {
  OwnTiming.CurrentTimeout = OwnTiming.P2Timeout + 1000;
  LogMain(format, static_cast<int>(OwnTiming.CurrentTimeout.load()));
  return OwnTiming.CurrentTimeout;
}

uint32_t OwnTimingHandling::constantStartWait(const char* format, uint32_t ms) {
  LogMain(format, static_cast<int>(ms));
  return ms;
}

}  // namespace pdu::protocol
