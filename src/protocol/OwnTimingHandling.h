// The shared part of the handlers that keep waits of their own (the K-line
// classes, ISO 15765, TP2.0 and TP1.6): a second set of TimingFields that
// answers, the pending and UPDATEPARAM steps read and write, while the
// base's set keeps its initial values. Each class names its initial waits
// and its response rules once, in its constructor; the log words of its
// getDefaultTimeout/getStartTimeout stay its own.
#pragma once

#include "protocol/ZPDUProtocolHandling.h"

namespace pdu::protocol {

class OwnTimingHandling : public virtual ZPDUProtocolHandling {
 public:
  ResponseClass parseResponse(const uint8_t* record, uint32_t length, uint32_t* flags,
                              PDU_RESULT_DATA* result) override;
  // CP_P2Max and CP_P2Star from ComparamSnapshot, none below the initial
  // waits.
  void applyTimingComparam() override;

 protected:
  OwnTimingHandling(const InitialTiming& initial, const ResponseRules& rules)
      : OwnTiming{initial}, m_Initial{initial}, m_Rules{rules} {}

  // getDefaultTimeout bodies. The K-line and TP1.6 classes answer the
  // current wait as the last answer left it; the CAN transports answer P2
  // plus one second for the VCI's own transport time, which does not grow
  // from call to call. format is the class's log line ("%d": the wait).
  uint32_t currentWait(const char* format);
  uint32_t p2PlusOneSecond(const char* format);
  // A constant STARTCOMM wait, logged with the class's line.
  static uint32_t constantStartWait(const char* format, uint32_t ms);

  TimingFields OwnTiming;

 private:
  const InitialTiming m_Initial;
  const ResponseRules& m_Rules;
};

}  // namespace pdu::protocol
