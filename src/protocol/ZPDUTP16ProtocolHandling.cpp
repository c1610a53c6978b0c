#include "protocol/ZPDUTP16ProtocolHandling.h"

#include <utility>

#include "log/PduLog.h"
#include "protocol/ComParamNames.h"

namespace pdu::protocol {

using log::LogMain;

namespace {
// The first SENDRECV waits 3000 ms.
constexpr uint32_t kP2 = 2000, kP2Star = 2000, kCurrent = 3000;
}  // namespace

ZPDUTP16ProtocolHandling::ZPDUTP16ProtocolHandling(const char* logWord, uint32_t startTimeout,
                                                   std::map<uint32_t, std::string> extraRespComparams)
    : OwnTimingHandling(InitialTiming{kP2, kP2Star, kCurrent, startTimeout}, kTp16Rules),
      m_LogWord(logWord),
      m_ExtraRespComparams(std::move(extraRespComparams)) {}

void ZPDUTP16ProtocolHandling::parseComparam() { clearParamBlock(); }

void ZPDUTP16ProtocolHandling::initUniqueRespComparam() {
  UniqueRespComparamMap = kVwtpUniqueRespComparams;
  UniqueRespComparamMap.insert(m_ExtraRespComparams.begin(), m_ExtraRespComparams.end());
}

uint32_t ZPDUTP16ProtocolHandling::getDefaultTimeout() {
  uint32_t timeout = OwnTiming.CurrentTimeout;
  LogMain("%s defaluttimeout = %d", m_LogWord, static_cast<int>(timeout));
  return timeout;
}

uint32_t ZPDUTP16ProtocolHandling::getStartTimeout() {
  LogMain("%s starttimeout = %d", m_LogWord, 6000);
  return 6000;
}

}  // namespace pdu::protocol
