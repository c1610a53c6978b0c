// One simulated ECU: answers diagnostic requests (the service bytes, without
// CAN identifier or K-line header) the way a diagnostic user expects.
//
// Order of lookup for each request:
//   1. the scenario's own request rules (exact or prefix match), with their
//      busy (7F sid 21) and response-pending (7F sid 78) sequences;
//   2. the built-in services of the ECU's behaviour:
//      UDS  10 session, 11 reset, 14 clear DTCs, 19 01/02/0A read DTCs,
//           22 read / 2E write data by identifier, 27 seed/key,
//           28 communication control, 31 01 routines (with pending), 3E
//           tester present, 85 DTC setting;
//      KWP  81/82 start/stop communication, 10, 11, 14, 18 read DTCs by
//           status, 1A identification, 21 local identifiers, 27, 31, 3E;
//   3. anything else: 7F sid 11 (service not supported).
// A functional request gets no answer where UDS ECUs keep quiet (negative
// codes 11, 12, 31, 7E, 7F) and none when the suppress bit is set.
//
// Called on the simulator's only thread.
#pragma once

#include <vector>

#include "Scenario.h"

namespace vcisim {

// Negative response codes the simulated ECUs give.
inline constexpr uint8_t kServiceNotSupported = 0x11;
inline constexpr uint8_t kSubFunctionNotSupported = 0x12;

class SimEcu {
 public:
  explicit SimEcu(EcuConfig config) : cfg_(std::move(config)) {}

  const EcuConfig& Config() const { return cfg_; }

  // The replies to one request, each with its delay after the previous
  // one. Empty when the ECU does not answer.
  std::vector<EcuReply> Handle(const Bytes& request, bool functional);

  // The bytes an ECU sends after the 5-baud address: the sync byte 0x55
  // and its two key bytes.
  Bytes FiveBaudAnswer() const;

 private:
  std::vector<EcuReply> FromRule(RequestRule& rule, uint8_t sid);
  Bytes Uds(const Bytes& req, std::vector<EcuReply>& pendingFirst);
  Bytes Kwp(const Bytes& req, std::vector<EcuReply>& pendingFirst);
  Bytes SecurityAccess(const Bytes& req);
  Bytes Routine(const Bytes& req, std::vector<EcuReply>& pendingFirst);
  // EcuServices.cpp: the other families.
  Bytes Obd(const Bytes& req);
  Bytes Kw1281(const Bytes& req);
  Bytes J1939(const Bytes& req, bool& quiet);
  Bytes J1587(const Bytes& req, bool& quiet);
  Bytes Sci(const Bytes& req);

  EcuConfig cfg_;
  bool seedSent_ = false;
  bool unlocked_ = false;
  uint8_t session_ = 1;
};

// 7F sid nrc.
Bytes NegativeResponse(uint8_t sid, uint8_t nrc);

// J1939: the identifier word (29-bit, kCanExtendedFlag set) of a message of
// parameter group pgn from source address sa to destination da (da is used
// only by PDU1 groups, PF below 0xF0), priority 6.
uint32_t J1939Id(uint32_t pgn, uint8_t sa, uint8_t da);

}  // namespace vcisim
