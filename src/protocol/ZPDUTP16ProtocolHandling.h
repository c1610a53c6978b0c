// The TP1.6 transport over CAN, shared by its two application protocols
// (KW1281 and KW2000 on TP1.6, each its own class below). The VCI handles
// the TP1.6 channel; requests pass through unchanged and every answer
// carries a 4-byte identifier in front of its payload, which parseResponse
// strips. Only the first position of an answer is tested for a negative
// response. TP1.6 links send their ComParams one by one at connect, so
// ParamBlock stays empty. The two classes differ only in their
// response-identification ComParams, their log word and StartTimeout's
// initial value (kept but not read: the start wait is a constant 6000 ms).
#pragma once

#include <map>
#include <string>

#include "protocol/OwnTimingHandling.h"

namespace pdu::protocol {

class ZPDUTP16ProtocolHandling : public OwnTimingHandling {
 public:
  void parseComparam() override;
  void initUniqueRespComparam() override;
  uint32_t getDefaultTimeout() override;
  uint32_t getStartTimeout() override;

 protected:
  // logWord starts the two wait log lines ("KW1281 defaluttimeout = 3000");
  // extraRespComparams identify responses besides the transport's own.
  ZPDUTP16ProtocolHandling(const char* logWord, uint32_t startTimeout,
                           std::map<uint32_t, std::string> extraRespComparams = {});

 private:
  const char* m_LogWord;
  const std::map<uint32_t, std::string> m_ExtraRespComparams;
};

}  // namespace pdu::protocol
