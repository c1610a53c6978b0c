#include "SimEcu.h"

#include <algorithm>

namespace vcisim {

namespace {

// Negative response codes.
constexpr uint8_t kIncorrectLength = 0x13;
constexpr uint8_t kBusyRepeatRequest = 0x21;
constexpr uint8_t kSequenceError = 0x24;
constexpr uint8_t kRequestOutOfRange = 0x31;
constexpr uint8_t kInvalidKey = 0x35;
constexpr uint8_t kResponsePending = 0x78;

// Services whose second byte is a sub-function with the suppress bit.
bool HasSubFunction(uint8_t sid) {
  switch (sid) {
    case 0x10: case 0x11: case 0x19: case 0x27: case 0x28: case 0x31: case 0x3E: case 0x85:
      return true;
    default:
      return false;
  }
}

bool QuietOnFunctional(const Bytes& reply) {
  if (reply.size() < 3 || reply[0] != 0x7F) return false;
  switch (reply[2]) {
    case 0x11: case 0x12: case 0x31: case 0x7E: case 0x7F:
      return true;
    default:
      return false;
  }
}

void AppendDtcs(Bytes& out, const std::vector<Dtc>& dtcs, uint8_t mask, bool withFailureType) {
  for (const Dtc& d : dtcs) {
    if (mask != 0 && (d.status & mask) == 0) continue;
    out.push_back(static_cast<uint8_t>(d.code >> 8));
    out.push_back(static_cast<uint8_t>(d.code));
    if (withFailureType) out.push_back(d.failureType);
    out.push_back(d.status);
  }
}

}  // namespace

Bytes NegativeResponse(uint8_t sid, uint8_t nrc) { return Bytes{0x7F, sid, nrc}; }

std::vector<EcuReply> SimEcu::Handle(const Bytes& request, bool functional) {
  if (request.empty()) return {};
  const uint8_t sid = request[0];

  for (RequestRule& rule : cfg_.rules) {
    bool match = rule.prefix ? request.size() >= rule.request.size() &&
                                   std::equal(rule.request.begin(), rule.request.end(), request.begin())
                             : request == rule.request;
    if (match) return FromRule(rule, sid);
  }

  std::vector<EcuReply> replies;
  Bytes answer;
  if (cfg_.behaviour == EcuBehaviour::kUds) {
    answer = Uds(request, replies);
  } else if (cfg_.behaviour == EcuBehaviour::kKwp) {
    answer = Kwp(request, replies);
  } else if (cfg_.behaviour == EcuBehaviour::kRaw) {
    answer = request;  // a raw CAN ECU without a rule echoes the frame's data
  } else if (cfg_.behaviour == EcuBehaviour::kObd) {
    answer = Obd(request);
  } else if (cfg_.behaviour == EcuBehaviour::kKw1281) {
    answer = Kw1281(request);
  } else if (cfg_.behaviour == EcuBehaviour::kJ1939 || cfg_.behaviour == EcuBehaviour::kJ1587) {
    bool quiet = false;
    answer = cfg_.behaviour == EcuBehaviour::kJ1939 ? J1939(request, quiet) : J1587(request, quiet);
    if (quiet) return {};
  } else if (cfg_.behaviour == EcuBehaviour::kSci) {
    answer = Sci(request);
  } else {
    answer = NegativeResponse(sid, kServiceNotSupported);
  }
  if (answer.empty()) return {};
  if (cfg_.behaviour == EcuBehaviour::kUds) {
    bool positive = answer[0] == static_cast<uint8_t>(sid + 0x40);
    if (positive && HasSubFunction(sid) && request.size() >= 2 && (request[1] & 0x80)) return {};
    if (functional && QuietOnFunctional(answer)) return {};
  }
  EcuReply last;
  last.data = std::move(answer);
  last.delayMs = replies.empty() ? cfg_.delayMs : replies.back().delayMs;
  if (!replies.empty()) {
    // The pending answers carry the routine's interval; the final answer
    // follows the last of them after the same interval.
    last.delayMs = replies.back().delayMs;
    replies.front().delayMs = cfg_.delayMs;
  }
  replies.push_back(std::move(last));
  return replies;
}

std::vector<EcuReply> SimEcu::FromRule(RequestRule& rule, uint8_t sid) {
  std::vector<EcuReply> out;
  if (rule.busyLeft > 0) {
    --rule.busyLeft;
    out.push_back({NegativeResponse(sid, kBusyRepeatRequest), cfg_.delayMs});
    return out;
  }
  rule.busyLeft = rule.busy;  // the next request of this kind is busy again
  for (uint32_t i = 0; i < rule.pending; ++i) {
    out.push_back({NegativeResponse(sid, kResponsePending), i == 0 ? cfg_.delayMs : rule.pendingIntervalMs});
  }
  for (size_t i = 0; i < rule.replies.size(); ++i) {
    EcuReply r = rule.replies[i];
    if (i == 0 && rule.pending > 0) r.delayMs += rule.pendingIntervalMs;
    out.push_back(std::move(r));
  }
  return out;
}

Bytes SimEcu::SecurityAccess(const Bytes& req) {
  if (req.size() < 2) return NegativeResponse(0x27, kIncorrectLength);
  const uint8_t level = req[1] & 0x7F;
  if (level % 2 == 1) {  // request seed
    Bytes out{0x67, level};
    uint32_t seed = unlocked_ ? 0 : cfg_.seed;  // an unlocked ECU answers a zero seed
    PutU32(out, 0);
    out[2] = static_cast<uint8_t>(seed >> 24);
    out[3] = static_cast<uint8_t>(seed >> 16);
    out[4] = static_cast<uint8_t>(seed >> 8);
    out[5] = static_cast<uint8_t>(seed);
    seedSent_ = !unlocked_;
    return out;
  }
  if (!seedSent_) return NegativeResponse(0x27, kSequenceError);
  seedSent_ = false;
  if (req.size() != 6) return NegativeResponse(0x27, kIncorrectLength);
  uint32_t key = static_cast<uint32_t>(req[2]) << 24 | static_cast<uint32_t>(req[3]) << 16 |
                 static_cast<uint32_t>(req[4]) << 8 | req[5];
  if (key != KeyFromSeed(cfg_.seed)) return NegativeResponse(0x27, kInvalidKey);
  unlocked_ = true;
  return Bytes{0x67, level};
}

Bytes SimEcu::Routine(const Bytes& req, std::vector<EcuReply>& pendingFirst) {
  // UDS: 31 <control> <id hi> <id lo> ...; KWP: 31 <id> ...
  const bool uds = cfg_.behaviour == EcuBehaviour::kUds;
  if (req.size() < (uds ? 4u : 2u)) return NegativeResponse(0x31, kIncorrectLength);
  uint32_t id = uds ? static_cast<uint32_t>(req[2] << 8 | req[3]) : req[1];
  auto it = cfg_.routines.find(id);
  if (it == cfg_.routines.end()) return NegativeResponse(0x31, kRequestOutOfRange);
  Bytes out{0x71};
  out.insert(out.end(), req.begin() + 1, req.begin() + (uds ? 4 : 2));
  if (!uds || req[1] == 0x01 || req[1] == 0x03) {
    for (uint32_t i = 0; i < it->second.pending; ++i) {
      pendingFirst.push_back({NegativeResponse(0x31, kResponsePending), it->second.pendingIntervalMs});
    }
    out.insert(out.end(), it->second.result.begin(), it->second.result.end());
  }
  return out;
}

Bytes SimEcu::Uds(const Bytes& req, std::vector<EcuReply>& pendingFirst) {
  const uint8_t sid = req[0];
  switch (sid) {
    case 0x10: {
      if (req.size() != 2) return NegativeResponse(sid, kIncorrectLength);
      uint8_t s = req[1] & 0x7F;
      if (s < 1 || s > 3) return NegativeResponse(sid, kSubFunctionNotSupported);
      session_ = s;
      if (s == 1) unlocked_ = false;
      // P2 50 ms, P2* 5000 ms (in units of 10 ms).
      return Bytes{0x50, s, 0x00, 0x32, 0x01, 0xF4};
    }
    case 0x11:
      if (req.size() != 2) return NegativeResponse(sid, kIncorrectLength);
      session_ = 1;
      unlocked_ = false;
      return Bytes{0x51, static_cast<uint8_t>(req[1] & 0x7F)};
    case 0x14:
      if (req.size() != 4) return NegativeResponse(sid, kIncorrectLength);
      cfg_.dtcs.clear();
      return Bytes{0x54};
    case 0x19: {
      if (req.size() < 2) return NegativeResponse(sid, kIncorrectLength);
      uint8_t sub = req[1] & 0x7F;
      if (sub == 0x01 || sub == 0x02) {
        if (req.size() != 3) return NegativeResponse(sid, kIncorrectLength);
        const uint8_t mask = req[2];
        if (sub == 0x01) {
          size_t n = std::count_if(cfg_.dtcs.begin(), cfg_.dtcs.end(),
                                   [mask](const Dtc& d) { return (d.status & mask) != 0; });
          return Bytes{0x59, 0x01, 0xFF, 0x01, static_cast<uint8_t>(n >> 8), static_cast<uint8_t>(n)};
        }
        Bytes out{0x59, 0x02, 0xFF};
        AppendDtcs(out, cfg_.dtcs, mask == 0 ? 0xFF : mask, true);
        return out;
      }
      if (sub == 0x0A) {
        Bytes out{0x59, 0x0A, 0xFF};
        AppendDtcs(out, cfg_.dtcs, 0, true);
        return out;
      }
      return NegativeResponse(sid, kSubFunctionNotSupported);
    }
    case 0x22: {
      if (req.size() < 3 || (req.size() - 1) % 2 != 0) return NegativeResponse(sid, kIncorrectLength);
      Bytes out{0x62};
      for (size_t i = 1; i + 1 < req.size(); i += 2) {
        uint32_t did = static_cast<uint32_t>(req[i] << 8 | req[i + 1]);
        auto it = cfg_.dataIds.find(did);
        if (it == cfg_.dataIds.end()) return NegativeResponse(sid, kRequestOutOfRange);
        out.push_back(req[i]);
        out.push_back(req[i + 1]);
        out.insert(out.end(), it->second.begin(), it->second.end());
      }
      return out;
    }
    case 0x2E: {
      if (req.size() < 4) return NegativeResponse(sid, kIncorrectLength);
      uint32_t did = static_cast<uint32_t>(req[1] << 8 | req[2]);
      if (!cfg_.dataIds.count(did)) return NegativeResponse(sid, kRequestOutOfRange);
      if (!unlocked_) return NegativeResponse(sid, 0x33);  // security access denied
      cfg_.dataIds[did] = Bytes(req.begin() + 3, req.end());
      return Bytes{0x6E, req[1], req[2]};
    }
    case 0x27:
      return SecurityAccess(req);
    case 0x28:
    case 0x85:
      if (req.size() < 2) return NegativeResponse(sid, kIncorrectLength);
      return Bytes{static_cast<uint8_t>(sid + 0x40), static_cast<uint8_t>(req[1] & 0x7F)};
    case 0x31:
      return Routine(req, pendingFirst);
    case 0x3E:
      if (req.size() != 2) return NegativeResponse(sid, kIncorrectLength);
      if ((req[1] & 0x7F) != 0) return NegativeResponse(sid, kSubFunctionNotSupported);
      return Bytes{0x7E, 0x00};
    default:
      return NegativeResponse(sid, kServiceNotSupported);
  }
}

Bytes SimEcu::Kwp(const Bytes& req, std::vector<EcuReply>& pendingFirst) {
  const uint8_t sid = req[0];
  switch (sid) {
    case 0x81:  // start communication: key bytes 8F EF (normal timing)
      return Bytes{0xC1, 0xEF, 0x8F};
    case 0x82:
      return Bytes{0xC2};
    case 0x10:
      if (req.size() < 2) return NegativeResponse(sid, kIncorrectLength);
      return Bytes{0x50, req[1]};
    case 0x11:
      if (req.size() < 2) return NegativeResponse(sid, kIncorrectLength);
      return Bytes{0x51, req[1]};
    case 0x14:
      if (req.size() < 3) return NegativeResponse(sid, kIncorrectLength);
      cfg_.dtcs.clear();
      return Bytes{0x54, req[1], req[2]};
    case 0x18: {
      // 18 <status group> <group hi> <group lo>: every stored code.
      Bytes out{0x58, static_cast<uint8_t>(cfg_.dtcs.size())};
      AppendDtcs(out, cfg_.dtcs, 0, false);
      return out;
    }
    case 0x1A:
    case 0x21: {
      if (req.size() != 2) return NegativeResponse(sid, kIncorrectLength);
      const auto& table = sid == 0x1A ? cfg_.identification : cfg_.localIds;
      auto it = table.find(req[1]);
      if (it == table.end()) return NegativeResponse(sid, kRequestOutOfRange);
      Bytes out{static_cast<uint8_t>(sid + 0x40), req[1]};
      out.insert(out.end(), it->second.begin(), it->second.end());
      return out;
    }
    case 0x27:
      return SecurityAccess(req);
    case 0x31:
      return Routine(req, pendingFirst);
    case 0x3E:
      return Bytes{0x7E};
    default:
      return NegativeResponse(sid, kServiceNotSupported);
  }
}

}  // namespace vcisim
