#include "VciDevice.h"

#include <algorithm>

#include "device/DeviceFrame.h"

namespace vcisim {

using namespace pdu::device;

namespace {

// T_PDU_ERROR values the device reports.
constexpr uint32_t kNoError = 0x00;
constexpr uint32_t kFctFailed = 0x01;
constexpr uint32_t kInvalidParameters = 0x50;
constexpr uint32_t kInvalidHandle = 0x60;
constexpr uint32_t kIdNotSupported = 0x62;


constexpr uint32_t kItemIoUnum32 = 0x1000;
constexpr uint32_t kDataTypeByteField = 0x107;

// IOCTL sub-codes.
constexpr uint8_t kIoctlReadVbatt = 0x06;
constexpr uint8_t kIoctlReadIgnition = 0x11;

}  // namespace

std::string Hex32(uint32_t v) {
  char buf[16];
  snprintf(buf, sizeof buf, "0x%X", v);
  return buf;
}

VciDevice::VciDevice(const Scenario& scenario) : vci_(scenario.vci), traffic_(scenario.traffic) {
  for (const EcuConfig& e : scenario.ecus) ecus_.emplace_back(e);
}

uint32_t VciDevice::Param(const SimLink& link, uint32_t c, uint32_t fallback) const {
  auto it = link.params.find(c);
  return it == link.params.end() ? fallback : it->second;
}

VciDevice::Family VciDevice::FamilyOf(const SimLink& link) const {
  switch (link.protocolCode) {
    case 1: case 2: case 3: case 6: case 11: case 26:  // ISO 15765 protocols
      return Family::kCan;
    case 18:  // raw CAN frames
      return Family::kRawCan;
    case 100:  // KWP2000 on TP2.0
      return Family::kTp20;
    case 101: case 104:  // KWP2000 and KW1281 on TP1.6
      return Family::kTp16;
    case 5: case 9: case 19: case 20: case 103:  // 5-baud K-line protocols
      return Family::kKLine9141;
    case 7: case 8: case 10: case 12: case 21: case 22: case 25:  // J1850 VPW and PWM
      return Family::kJ1850;
    case 14: case 15: case 27:
      return Family::kJ1939;
    case 16:
      return Family::kJ1708;
    case 17:
      return Family::kSci;
    case 0: case 4: case 13: case 23: case 24: case 102:
      return Family::kKLine14230;
    default:
      // Protocols without a VCI code of their own (the keyword protocols
      // 71/81/82, SAE J2190 on plain ISO 9141) run on the ISO 9141 line.
      return link.busCode == 14 ? Family::kKLine14230 : Family::kKLine9141;
  }
}

std::vector<OutFrame> VciDevice::OnFrame(uint8_t channel, uint8_t command, const Bytes& data, uint32_t nowMs) {
  std::vector<OutFrame> out;
  if (command == VCI_CMD_PROBE) {
    // Any answer with data marks the port as ours; say who we are.
    OutFrame f;
    f.channel = channel;
    f.command = VCI_CMD_PROBE;
    static const char kIdent[] = "QDM7318 vcisim";
    f.data.assign(kIdent, kIdent + sizeof kIdent - 1);
    PutU32(f.data, vci_.firmware);
    out.push_back(std::move(f));
    return out;
  }

  Reader r(data);
  switch (command) {
    case VCI_CMD_OPEN:
      out.push_back(VciCore::Answer(command, kNoError, {vci_.firmware}));
      break;
    case VCI_CMD_CLOSE:
      links_.clear();
      out.push_back(VciCore::Answer(command, kNoError));
      break;
    case VCI_CMD_MODULE_CONNECT:
    case VCI_CMD_MODULE_DISCONNECT:
      out.push_back(VciCore::Answer(command, kNoError));
      break;
    case VCI_CMD_IOCTL: {
      r.U32();
      r.U32();
      uint8_t sub = r.U8();
      if (!r.Ok()) {
        out.push_back(VciCore::Answer(command, kInvalidParameters));
      } else if (sub == kIoctlReadVbatt) {
        out.push_back(VciCore::Answer(command, kNoError, {kItemIoUnum32, vci_.batteryMv}));
      } else if (sub == kIoctlReadIgnition) {
        out.push_back(VciCore::Answer(command, kNoError, {vci_.ignition}));
      } else {
        out.push_back(VciCore::Answer(command, kIdNotSupported));
      }
      break;
    }
    case VCI_CMD_SET_LINK_RESOURCE: {
      SimLink link;
      link.hMod = r.U32();
      link.busCode = r.U32();
      link.protocolCode = r.U32();
      uint32_t n = r.U32();
      for (uint32_t i = 0; i < n && r.Ok(); ++i) {
        uint32_t pin = r.U32();
        uint32_t type = r.U32();
        link.pins.emplace_back(pin, type);
      }
      r.U32();  // reserved word 0
      link.hCLL = r.U32();
      uint32_t m = r.U32();
      link.createFlags = r.Take(m);
      if (!r.Ok()) {
        out.push_back(VciCore::Answer(command, kInvalidParameters));
        break;
      }
      // A new resource starts the link's configuration afresh.
      links_[link.hCLL] = std::move(link);
      out.push_back(VciCore::Answer(command, kNoError));
      break;
    }
    case VCI_CMD_SET_LINK_PARAM: {
      r.U32();
      uint32_t hCLL = r.U32();
      uint32_t c = r.U32();
      uint32_t type = r.U32();
      auto it = links_.find(hCLL);
      if (!r.Ok() || it == links_.end()) {
        out.push_back(VciCore::Answer(command, r.Ok() ? kInvalidHandle : kInvalidParameters));
        break;
      }
      if (type == kDataTypeByteField) {
        r.U8();  // max length
        uint8_t act = r.U8();
        Bytes value = r.Take(act);
        if (r.Ok()) it->second.byteParams[c] = std::move(value);
      } else {
        uint32_t value = r.U32();
        if (r.Ok()) it->second.params[c] = value;
      }
      out.push_back(VciCore::Answer(command, r.Ok() ? kNoError : kInvalidParameters));
      break;
    }
    case VCI_CMD_CONNECT_LINK: {
      r.U32();
      uint32_t hCLL = r.U32();
      auto it = links_.find(hCLL);
      if (!r.Ok() || it == links_.end()) {
        out.push_back(VciCore::Answer(command, kInvalidHandle));
        break;
      }
      ConnectLink(it->second, r);
      out.push_back(VciCore::Answer(command, r.Ok() ? kNoError : kInvalidParameters));
      break;
    }
    case VCI_CMD_DISCONNECT_LINK:
      // The command names no link; every link stops until it is connected
      // again (the library sends its whole configuration then), and no
      // link listens to the bus any more.
      for (auto& [h, link] : links_) link.connected = false;
      StopTraffic();
      out.push_back(VciCore::Answer(command, kNoError));
      break;
    case VCI_CMD_DESTROY_LINK: {
      r.U32();
      uint32_t hCLL = r.U32();
      if (links_.erase(hCLL) != 0 && hCLL == trafficLink_) StopTraffic();
      out.push_back(VciCore::Answer(command, r.Ok() ? kNoError : kInvalidParameters));
      break;
    }
    case VCI_CMD_COP:
      return Cop(data, nowMs);
    default:
      out.push_back(VciCore::Answer(command, kFctFailed));
      break;
  }
  return out;
}

void VciDevice::ConnectLink(SimLink& link, Reader& r) {
  // ItemType, NumEntries, the first entry's identifier and ComParam count,
  // then code byte + u32 value for the ComParams of all entries in order.
  // Only the first entry's identifier travels; entries after it are
  // numbered on from it, and split either by the first entry's count or,
  // without one, where a code repeats.
  r.U32();
  uint32_t entries = r.U32();
  uint32_t firstId = r.U32();
  uint32_t perEntry = r.U32();
  std::vector<std::pair<uint32_t, uint32_t>> items;
  while (r.Ok() && r.Remaining() >= 5) {
    uint32_t c = r.U8();
    uint32_t v = r.U32();
    items.emplace_back(c, v);
  }
  if (!r.Ok()) return;
  link.table.clear();
  link.table.push_back({firstId, {}});
  for (size_t i = 0; i < items.size(); ++i) {
    SimLink::UniqueEntry* cur = &link.table.back();
    bool next = false;
    if (entries > 1) {
      next = perEntry > 0 ? i > 0 && i % perEntry == 0 : cur->params.count(items[i].first) > 0;
    }
    if (next) {
      link.table.push_back({firstId + static_cast<uint32_t>(link.table.size()), {}});
      cur = &link.table.back();
    }
    cur->params[items[i].first] = items[i].second;
  }
  link.connected = true;
}

std::vector<OutFrame> VciDevice::Cop(const Bytes& data, uint32_t nowMs) {
  std::vector<OutFrame> out;
  // The library runs one ComPrimitive at a time: a new one means the one
  // that listened to the bus has ended.
  StopTraffic();
  // Every request is sent once (NumSendCycles). NumReceiveCycles 1 is one
  // answer; -1 (or more than one) makes a raw CAN link listen to the bus's
  // traffic too.
  CopRequest cop;
  if (!VciCore::ParseCop(data, cop)) {
    out.push_back(VciCore::Answer(VCI_CMD_COP, kInvalidParameters));
    return out;
  }
  const Bytes& request = cop.request;
  const uint32_t copType = cop.copType;
  auto it = links_.find(cop.hCLL);
  if (it == links_.end()) {
    out.push_back(VciCore::Answer(VCI_CMD_COP, kInvalidHandle));
    out.back().note = "no such link";
    return out;
  }
  out.push_back(VciCore::Answer(VCI_CMD_COP, kNoError));
  SimLink& link = it->second;
  const Family family = FamilyOf(link);
  // Cut the transport bytes off: the identifier the ISO 15765 and TP2.0
  // handlers put in front, or the four zero bytes the library appends to
  // the request of every handler that puts nothing in front.
  uint32_t id = 0;
  Bytes payload;
  if (family == Family::kCan || family == Family::kTp20) {
    if (request.size() >= kIdBytes) {
      id = LeWord(request, 0);
      payload.assign(request.begin() + kIdBytes, request.end());
    }
  } else if (request.size() >= kIdBytes) {
    payload.assign(request.begin(), request.end() - kIdBytes);
  }
  if (family == Family::kRawCan) {
    RouteRawCan(link, copType, payload, cop.receiveCycles, nowMs, out);
  } else if (copType == kCoptStartComm || copType == kCoptStopComm) {
    StartStop(link, family, copType, payload, nowMs, out);
  } else if (copType == kCoptSendRecv && !payload.empty()) {
    Route(link, family, id, payload, nowMs, out);
  }
  return out;
}

std::vector<SimEcu*> VciDevice::Targets(const SimLink& link, Family family, uint32_t id, bool& functional,
                                        std::string& none) {
  std::vector<SimEcu*> found;
  functional = false;
  auto onBus = [&](EcuBus bus) {
    for (SimEcu& ecu : ecus_) {
      if (ecu.Config().bus == bus) found.push_back(&ecu);
    }
  };
  switch (family) {
    case Family::kCan:
      for (SimEcu& ecu : ecus_) {
        const EcuConfig& c = ecu.Config();
        if (c.bus != EcuBus::kCan || c.behaviour == EcuBehaviour::kRaw) continue;
        if (c.requestId == id || (c.functionalId && *c.functionalId == id)) found.push_back(&ecu);
        if (c.requestId != id && c.functionalId && *c.functionalId == id) functional = true;
      }
      if (found.empty()) none = "no ECU listens on " + Hex32(id);
      return found;
    case Family::kTp20:
    case Family::kTp16: {
      const uint32_t dest = Param(link, code::kVwtpDestAddr, 1);
      const EcuBus bus = family == Family::kTp20 ? EcuBus::kTp20 : EcuBus::kTp16;
      // On TP1.6 the protocol picks between the KW1281 and the KWP2000
      // ECU at the address.
      const bool wantKw1281 = link.protocolCode == 104;
      for (SimEcu& ecu : ecus_) {
        const EcuConfig& c = ecu.Config();
        if (c.bus != bus || c.address != dest) continue;
        if (family == Family::kTp16 && (c.behaviour == EcuBehaviour::kKw1281) != wantKw1281) continue;
        found.assign(1, &ecu);  // one ECU per channel: the last one wins
      }
      if (found.empty()) none = std::string(family == Family::kTp20 ? "no TP2.0" : "no TP1.6") + " ECU at address " + Hex32(dest);
      return found;
    }
    case Family::kKLine14230:
    case Family::kKLine9141:
    case Family::kJ1850: {
      // ISO 14230 and J1850: the target address of the addressing mode;
      // ISO 9141: the address the line was woken up with.
      const bool funcMode = Param(link, code::kRequestAddrMode, 1) == 2;
      uint32_t target = 0;
      if (family == Family::kKLine9141) {
        target = funcMode ? Param(link, code::k5BaudAddressFunc, 0x33) : Param(link, code::k5BaudAddressPhys, 0x33);
      } else if (funcMode) {
        target = Param(link, code::kFuncReqTargetAddr, family == Family::kJ1850 ? 0x6A : 0x33);
      } else {
        target = Param(link, code::kPhysReqTargetAddr, 0x10);
      }
      const EcuBus bus = family == Family::kJ1850 ? EcuBus::kJ1850 : EcuBus::kKLine;
      for (SimEcu& ecu : ecus_) {
        const EcuConfig& c = ecu.Config();
        if (c.bus != bus) continue;
        if (c.address == target) {
          found.push_back(&ecu);
        } else if (c.functionalAddress && *c.functionalAddress == target) {
          found.push_back(&ecu);
          functional = true;
        }
      }
      if (found.empty()) {
        none = std::string(family == Family::kJ1850 ? "no J1850" : "no K-line") + " ECU at address " + Hex32(target);
      }
      return found;
    }
    case Family::kJ1939:
      onBus(EcuBus::kJ1939);  // each ECU looks at the destination itself
      break;
    case Family::kJ1708:
      onBus(EcuBus::kJ1708);
      break;
    case Family::kSci:
      onBus(EcuBus::kSci);
      break;
    case Family::kRawCan:
      break;
  }
  if (found.empty()) none = "no ECU on this bus";
  return found;
}

void VciDevice::StartStop(SimLink& link, Family family, uint32_t copType, const Bytes& payload, uint32_t nowMs,
                          std::vector<OutFrame>& out) {
  const bool start = copType == kCoptStartComm;
  const uint32_t firstUid = link.table.empty() ? 0 : link.table.front().uniqueId;
  bool functional = false;
  std::string none;
  switch (family) {
    case Family::kKLine14230: {
      // Fast init: the ECU answers a start (or stop) communication request.
      std::vector<SimEcu*> ecus = Targets(link, family, 0, functional, none);
      if (ecus.empty()) out.front().note = none;
      Bytes request = payload.empty() ? Bytes{static_cast<uint8_t>(start ? 0x81 : 0x82)} : payload;
      for (SimEcu* ecu : ecus) EmitReplies(link, family, *ecu, ecu->Handle(request, functional), nowMs, out);
      return;
    }
    case Family::kKLine9141: {
      // 5-baud init: the woken ECU sends the sync byte and its key bytes.
      // Stopping just lets the line fall idle.
      std::vector<SimEcu*> ecus = Targets(link, family, 0, functional, none);
      if (ecus.empty()) {
        out.front().note = none;
        return;
      }
      if (!start) {
        out.push_back(VehicleData(firstUid, {}, nowMs, 0, "K-line idle"));
        return;
      }
      EmitReplies(link, family, *ecus.front(), {{ecus.front()->FiveBaudAnswer(), ecus.front()->Config().delayMs}},
                  nowMs, out, false);
      return;
    }
    case Family::kTp20:
    case Family::kTp16: {
      // Channel set-up: the ECU answers on 0x200 + its address with
      // 00 D0, the identifier it listens on (0x740) and the one it sends
      // on (the connection's response id), application type 01. The
      // channel is closed with A8, answered on the connection.
      std::vector<SimEcu*> ecus = Targets(link, family, 0, functional, none);
      if (ecus.empty()) {
        out.front().note = none;
        return;
      }
      const SimEcu& ecu = *ecus.front();
      const uint32_t respId = ConnectionId(link);
      Bytes message;
      if (start) {
        PutU32(message, 0x200 + ecu.Config().address);
        message.insert(message.end(), {0x00, 0xD0, 0x40, 0x07, static_cast<uint8_t>(respId),
                                       static_cast<uint8_t>(respId >> 8), 0x01});
      } else {
        PutU32(message, respId);
        message.push_back(0xA8);
      }
      out.push_back(VehicleData(firstUid, message, nowMs, ecu.Config().delayMs,
                                ecu.Config().name + (start ? ": channel set up" : ": channel closed")));
      return;
    }
    default: {
      // CAN, J1850, J1939, J1708, SCI: nothing to set up; an empty
      // vehicle-data frame says the link is ready (or stopped).
      out.push_back(VehicleData(firstUid, {}, nowMs, 0, start ? "link started" : "link stopped"));
      return;
    }
  }
}

void VciDevice::Route(SimLink& link, Family family, uint32_t id, const Bytes& payload, uint32_t nowMs,
                      std::vector<OutFrame>& out) {
  bool functional = false;
  std::string none;
  std::vector<SimEcu*> ecus = Targets(link, family, id, functional, none);
  if (ecus.empty()) out.front().note = none;
  for (SimEcu* ecu : ecus) {
    bool fn = functional;
    if (family == Family::kCan) fn = ecu->Config().requestId != id;
    if (family == Family::kKLine14230 || family == Family::kKLine9141 || family == Family::kJ1850) {
      fn = functional && ecu->Config().functionalAddress.has_value();
    }
    EmitReplies(link, family, *ecu, ecu->Handle(payload, fn), nowMs, out);
  }
}

uint32_t VciDevice::ConnectionId(const SimLink& link) const {
  if (link.table.empty()) return 0x300;
  auto it = link.table.front().params.find(code::kVwtpPhysRespIdCon);
  return it == link.table.front().params.end() ? 0x300u : it->second;
}

OutFrame VciDevice::VehicleData(uint32_t uniqueId, const Bytes& message, uint32_t nowMs, uint32_t delayMs,
                                std::string note) const {
  OutFrame f = VciCore::VehicleData(kNoError, nowMs + delayMs, uniqueId, message);
  f.delayMs = delayMs;
  f.note = std::move(note);
  return f;
}

bool VciDevice::UniqueIdFor(const SimLink& link, Family family, const SimEcu& ecu, uint32_t& id) const {
  if (link.table.empty()) {
    id = 0;
    return true;  // no table: nothing to filter by
  }
  const EcuConfig& c = ecu.Config();
  const bool byCanId = family == Family::kCan;
  const bool byAddress = family == Family::kKLine14230 || family == Family::kKLine9141 || family == Family::kJ1850;
  if (!byCanId && !byAddress) {
    id = link.table.front().uniqueId;  // one ECU per channel, or a bus read whole
    return true;
  }
  bool tableNamesResponses = false;
  for (const SimLink::UniqueEntry& e : link.table) {
    for (const auto& [k, v] : e.params) {
      bool relevant = byCanId ? (k == code::kCanRespUSDTId || k == code::kCanRespUUDTId)
                              : k == code::kEcuRespSourceAddress;
      if (!relevant) continue;
      tableNamesResponses = true;
      // By address: an entry may name the ECU's own address or the
      // functional address it answers (OBD's 0x33).
      const bool hit = byCanId ? v == c.responseId
                               : v == c.address || (c.functionalAddress && v == *c.functionalAddress);
      if (hit) {
        id = e.uniqueId;
        return true;
      }
    }
  }
  if (!tableNamesResponses) {
    id = link.table.front().uniqueId;
    return true;
  }
  return false;
}

Bytes VciDevice::Prefix(const SimLink& link, Family family, const SimEcu& ecu) const {
  const EcuConfig& c = ecu.Config();
  Bytes prefix;
  switch (family) {
    case Family::kCan:
      PutU32(prefix, c.responseId);
      break;
    case Family::kTp20:
    case Family::kTp16:
      PutU32(prefix, ConnectionId(link));
      break;
    case Family::kKLine9141:
    case Family::kJ1850:
      // OBD messages on these buses keep their header: priority/type,
      // target (0x6B: the tester, functionally) and the ECU's address.
      // 0x41 on PWM (bus code 9), 0x48 on VPW and ISO 9141-2.
      if (c.behaviour == EcuBehaviour::kObd) {
        prefix = {static_cast<uint8_t>(link.busCode == 9 ? 0x41 : 0x48), 0x6B, static_cast<uint8_t>(c.address)};
      }
      break;
    default:
      break;
  }
  return prefix;
}

void VciDevice::EmitReplies(const SimLink& link, Family family, SimEcu& ecu, const std::vector<EcuReply>& replies,
                            uint32_t nowMs, std::vector<OutFrame>& out, bool withPrefix) {
  const EcuConfig& c = ecu.Config();
  uint32_t uniqueId = 0;
  bool pass = UniqueIdFor(link, family, ecu, uniqueId);
  const Bytes prefix = withPrefix ? Prefix(link, family, ecu) : Bytes{};
  uint32_t at = 0;
  for (const EcuReply& reply : replies) {
    at += reply.delayMs;
    if (!pass) {
      // Still shown in the trace: the ECU answered, the VCI dropped it.
      OutFrame f;
      f.delayMs = at;
      f.note = c.name + ": filtered, no unique response entry for this ECU";
      f.command = 0;
      out.push_back(std::move(f));
      continue;
    }
    Bytes message = prefix;
    message.insert(message.end(), reply.data.begin(), reply.data.end());
    out.push_back(VehicleData(uniqueId, message, nowMs, at, c.name));
  }
}

}  // namespace vcisim
