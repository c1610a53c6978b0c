// The built-in services of the ECU families beyond UDS and KWP2000: OBD-II,
// KW1281, SAE J1939, SAE J1587 and SCI. Each takes the request as the VCI
// hands it to the bus (no transport bytes) and gives the answer the same
// way; the VciDevice adds the family's header or identifier in front.
#include <algorithm>

#include "SimEcu.h"

namespace vcisim {

namespace {

// OBD-II mode 01 values an ECU has without a scenario table: the supported
// PIDs 01-20 (01, 03-07, 0B-0F, 11, 13, 15, 1C, 1F, 20), monitor status,
// coolant 83 degC, engine speed 1726 rpm, vehicle speed 50 km/h.
const std::map<uint32_t, Bytes>& DefaultPids() {
  static const std::map<uint32_t, Bytes> pids{
      {0x00, {0xBE, 0x3F, 0xB8, 0x13}}, {0x01, {0x00, 0x07, 0x65, 0x00}}, {0x05, {0x7B}},
      {0x0C, {0x1A, 0xF8}},             {0x0D, {0x32}},
  };
  return pids;
}

Bytes Ascii(const std::string& s) { return Bytes(s.begin(), s.end()); }

}  // namespace

uint32_t J1939Id(uint32_t pgn, uint8_t sa, uint8_t da) {
  uint32_t id = 6u << 26 | (pgn & 0x3FFFF) << 8 | sa;
  if (((pgn >> 8) & 0xFF) < 0xF0) id = (id & ~0xFF00u) | static_cast<uint32_t>(da) << 8;
  return id | kCanExtendedFlag;
}

Bytes SimEcu::FiveBaudAnswer() const {
  // Built whole rather than grown from one byte: GCC 12 at -O3 reports a
  // false out-of-bounds copy for an insert into a one-element vector.
  if (!cfg_.keyBytes.empty()) {
    Bytes out;
    out.reserve(1 + cfg_.keyBytes.size());
    out.push_back(0x55);
    out.insert(out.end(), cfg_.keyBytes.begin(), cfg_.keyBytes.end());
    return out;
  }
  if (cfg_.behaviour == EcuBehaviour::kKw1281) return Bytes{0x55, 0x01, 0x8A};  // key word 1281 (7-bit, LSB first)
  return Bytes{0x55, 0x08, 0x08};                                                // ISO 9141-2
}

// OBD-II (ISO 15031-5) on J1850, ISO 9141-2 and ISO 14230-4, and the J2190
// services those vehicles add: 01 current data, 03 stored codes, 04 clear,
// 09 vehicle information, 22 data by identifier, 3E tester present; on
// K-line also 81/82 (key bytes 8F E9 of ISO 14230-4).
Bytes SimEcu::Obd(const Bytes& req) {
  const uint8_t sid = req[0];
  switch (sid) {
    case 0x01: {
      if (req.size() < 2) return NegativeResponse(sid, kSubFunctionNotSupported);
      Bytes out{0x41};
      for (size_t i = 1; i < req.size(); ++i) {
        auto it = cfg_.pids.find(req[i]);
        const Bytes* value = nullptr;
        if (it != cfg_.pids.end()) {
          value = &it->second;
        } else if (cfg_.pids.empty() && DefaultPids().count(req[i])) {
          value = &DefaultPids().at(req[i]);
        }
        if (value == nullptr) continue;
        out.push_back(req[i]);
        out.insert(out.end(), value->begin(), value->end());
      }
      if (out.size() == 1) return NegativeResponse(sid, kSubFunctionNotSupported);
      return out;
    }
    case 0x03: {
      // Three codes per answer on these buses, padded with 00 00.
      Bytes out{0x43};
      for (const Dtc& d : cfg_.dtcs) {
        out.push_back(static_cast<uint8_t>(d.code >> 8));
        out.push_back(static_cast<uint8_t>(d.code));
      }
      while (out.size() < 7 || (out.size() - 1) % 6 != 0) out.push_back(0x00);
      return out;
    }
    case 0x04:
      cfg_.dtcs.clear();
      return Bytes{0x44};
    case 0x09: {
      if (req.size() != 2) return NegativeResponse(sid, kSubFunctionNotSupported);
      if (req[1] == 0x00) return Bytes{0x49, 0x00, 0x01, 0x40, 0x00, 0x00, 0x00};  // 02 supported
      auto vin = cfg_.identification.find(0x90);
      if (req[1] == 0x02 && vin != cfg_.identification.end()) {
        Bytes out{0x49, 0x02, 0x01};
        out.insert(out.end(), vin->second.begin(), vin->second.end());
        return out;
      }
      return NegativeResponse(sid, kSubFunctionNotSupported);
    }
    case 0x22: {
      if (req.size() != 3) return NegativeResponse(sid, 0x13);
      uint32_t did = static_cast<uint32_t>(req[1] << 8 | req[2]);
      auto it = cfg_.dataIds.find(did);
      if (it == cfg_.dataIds.end()) return NegativeResponse(sid, 0x31);
      Bytes out{0x62, req[1], req[2]};
      out.insert(out.end(), it->second.begin(), it->second.end());
      return out;
    }
    case 0x3E:
      return Bytes{0x7E};
    case 0x81:
      return Bytes{0xC1, 0xE9, 0x8F};
    case 0x82:
      return Bytes{0xC2};
    default:
      return NegativeResponse(sid, kServiceNotSupported);
  }
}

// KW1281: the request is a block title and its data (the VCI keeps the
// block counter, length and end byte): 00 identification -> F6 ASCII,
// 07 fault codes -> FC (code hi, code lo, status)..., 05 clear -> 09,
// 29 nn group reading -> E7 and the group's bytes, 09 -> 09, else 0A.
Bytes SimEcu::Kw1281(const Bytes& req) {
  switch (req[0]) {
    case 0x00: {
      auto it = cfg_.identification.find(0x9B);
      Bytes out{0xF6};
      Bytes text = it != cfg_.identification.end() ? it->second : Ascii(cfg_.name);
      out.insert(out.end(), text.begin(), text.end());
      return out;
    }
    case 0x07: {
      Bytes out{0xFC};
      for (const Dtc& d : cfg_.dtcs) {
        out.push_back(static_cast<uint8_t>(d.code >> 8));
        out.push_back(static_cast<uint8_t>(d.code));
        out.push_back(d.status);
      }
      if (cfg_.dtcs.empty()) out.insert(out.end(), {0xFF, 0xFF, 0x88});  // "no fault"
      return out;
    }
    case 0x05:
      cfg_.dtcs.clear();
      return Bytes{0x09};
    case 0x09:
      return Bytes{0x09};
    case 0x29: {
      if (req.size() != 2) return Bytes{0x0A};
      auto it = cfg_.localIds.find(req[1]);
      if (it == cfg_.localIds.end()) return Bytes{0x0A};
      Bytes out{0xE7};
      out.insert(out.end(), it->second.begin(), it->second.end());
      return out;
    }
    default:
      return Bytes{0x0A};
  }
}

// J1939: the request is a frame (identifier word + data). A request PGN
// (PF 0xEA) to this ECU's address or to 0xFF asks for the group named by
// its three data bytes (little-endian); the answer is the group's message,
// identifier word first, whole (the VCI reassembles transport-protocol
// messages). Unknown groups get a NACK (PGN 0xE800, control byte 1) when
// asked directly, silence when asked globally.
Bytes SimEcu::J1939(const Bytes& req, bool& quiet) {
  if (req.size() < 7) {
    quiet = true;
    return {};
  }
  const uint32_t id = static_cast<uint32_t>(req[0]) | static_cast<uint32_t>(req[1]) << 8 |
                      static_cast<uint32_t>(req[2]) << 16 | static_cast<uint32_t>(req[3]) << 24;
  const uint8_t pf = static_cast<uint8_t>(id >> 16);
  const uint8_t da = static_cast<uint8_t>(id >> 8);
  const uint8_t requester = static_cast<uint8_t>(id);
  const uint8_t me = static_cast<uint8_t>(cfg_.address);
  if (pf != 0xEA || (da != me && da != 0xFF)) {
    quiet = true;
    return {};
  }
  const uint32_t pgn = static_cast<uint32_t>(req[4]) | static_cast<uint32_t>(req[5]) << 8 |
                       static_cast<uint32_t>(req[6]) << 16;
  Bytes value;
  auto it = cfg_.dataIds.find(pgn);
  if (it != cfg_.dataIds.end()) {
    value = it->second;
  } else if (pgn == 0xFECA) {
    // DM1: lamp status, then per active code the SPN (the scenario code,
    // 16 bits here), the FMI (failure_type) and the occurrence count
    // (status); no code: 00 00 00 00.
    value = {0x00, 0xFF};
    for (const Dtc& d : cfg_.dtcs) {
      value.push_back(static_cast<uint8_t>(d.code));
      value.push_back(static_cast<uint8_t>(d.code >> 8));
      value.push_back(static_cast<uint8_t>(d.failureType & 0x1F));
      value.push_back(static_cast<uint8_t>(d.status & 0x7F));
    }
    if (cfg_.dtcs.empty()) value.insert(value.end(), {0x00, 0x00, 0x00, 0x00});
    if (!cfg_.dtcs.empty()) value[0] = 0x04;  // amber warning lamp on
    while (value.size() < 8) value.push_back(0xFF);
  } else {
    if (da == 0xFF) {
      quiet = true;
      return {};
    }
    Bytes nack;
    PutU32(nack, J1939Id(0xE800, me, 0xFF));
    nack.insert(nack.end(), {0x01, 0xFF, 0xFF, 0xFF, requester, req[4], req[5], req[6]});
    return nack;
  }
  Bytes out;
  PutU32(out, J1939Id(pgn, me, requester));
  out.insert(out.end(), value.begin(), value.end());
  return out;
}

// J1587 on J1708: the request is a message without checksum, MID first.
// PID 0 asks every module for the parameter in its data byte; PID 128
// asks the module whose MID follows the parameter. The answer is this
// module's MID, the PID and the value from `data_ids` (PIDs 192-253 carry
// a byte count first, as the value is written in the scenario).
Bytes SimEcu::J1587(const Bytes& req, bool& quiet) {
  quiet = true;
  if (req.size() < 3) return {};
  uint8_t pid = 0;
  if (req[1] == 0x00) {
    pid = req[2];
  } else if (req[1] == 0x80 && req.size() >= 4 && req[3] == static_cast<uint8_t>(cfg_.address)) {
    pid = req[2];
  } else {
    return {};
  }
  auto it = cfg_.dataIds.find(pid);
  if (it == cfg_.dataIds.end()) return {};
  quiet = false;
  Bytes out{static_cast<uint8_t>(cfg_.address), pid};
  out.insert(out.end(), it->second.begin(), it->second.end());
  return out;
}

// SCI: the ECU echoes the request and, for a request in `data_ids` (the
// whole request as the key, e.g. "28 47" for a memory read), appends its
// value.
Bytes SimEcu::Sci(const Bytes& req) {
  Bytes out = req;
  if (req.size() <= 4) {
    uint32_t key = 0;
    for (uint8_t b : req) key = key << 8 | b;
    auto it = cfg_.dataIds.find(key);
    if (it != cfg_.dataIds.end()) out.insert(out.end(), it->second.begin(), it->second.end());
  }
  return out;
}

}  // namespace vcisim
