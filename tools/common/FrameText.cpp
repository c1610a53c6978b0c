#include "FrameText.h"

#include <cstdarg>
#include <cstdio>
#include <span>

#include "api/StatusName.h"
#include "device/DeviceFrame.h"
#include "log/PduLog.h"
#include "mdf/VciCodes.h"

namespace frametext {

using namespace pdu::device;
using hexbytes::AsciiOf;
using hexbytes::Bytes;
using hexbytes::Reader;

namespace {

// "[text]". Appended piece by piece: GCC 12 at -O3 reports a false
// overlapping copy for `"[" + text + "]"`.
std::string Bracketed(const std::string& text) {
  std::string out;
  out.reserve(text.size() + 2);
  out += '[';
  out += text;
  out += ']';
  return out;
}




std::string Fmt(const char* format, ...) PDU_PRINTF(1, 2);
std::string Fmt(const char* format, ...) {
  va_list args;
  va_start(args, format);
  va_list again;
  va_copy(again, args);
  int n = vsnprintf(nullptr, 0, format, args);
  va_end(args);
  std::string out(n > 0 ? static_cast<size_t>(n) : 0, '\0');
  if (n > 0) vsnprintf(out.data(), out.size() + 1, format, again);
  va_end(again);
  return out;
}

std::string NameIn(std::span<const pdu::mdf::VciNameCode> table, uint32_t code) {
  for (const auto& row : table) {
    if (row.Code == code) return std::string(row.Name);
  }
  return "?";
}

std::string BusName(uint32_t code) {
  switch (code) {
    case 12: return "CAN";
    case 13: return "K-line ISO 9141";
    case 14: return "K-line ISO 14230";
    default: return NameIn(pdu::mdf::BusTypeNameTable(), code);
  }
}

std::string Status(uint32_t s) {
  return Fmt("0x%X %s", s, pdu::api::StatusName(s));
}

std::string CopType(uint32_t t) {
  switch (t) {
    case 0x8001: return "STARTCOMM";
    case 0x8002: return "STOPCOMM";
    case 0x8003: return "UPDATEPARAM";
    case 0x8004: return "SENDRECV";
    default: return Fmt("0x%X", t);
  }
}

std::string DataTypeName(uint32_t t) {
  static const char* kNames[] = {"UNUM8", "SNUM8", "UNUM16", "SNUM16", "UNUM32", "SNUM32",
                                 "BYTEFIELD", "STRUCTFIELD", "LONGFIELD"};
  if (t >= 0x101 && t <= 0x109) return kNames[t - 0x101];
  return Fmt("0x%X", t);
}

std::string UniqueCodeName(uint32_t c) {
  switch (c) {
    case 0x50: return "CP_CanPhysReqId";
    case 0x53: return "CP_CanRespUSDTId";
    case 0x56: return "CP_CanRespUUDTId";
    case 0x67: return "CP_EcuRespSourceAddress";
    case 0x8C: return "CP_PhysRespFormatPriorityType";
    case 0xB9: return "CP_FuncRespFormatPriorityType";
    case 0xBA: return "CP_FuncRespTargetAddr";
    case 0xCD: return "CPM_VWTP_PhysReqIdSetup";
    case 0xCE: return "CPM_VWTP_PhysRespIdSetup";
    case 0xD0: return "CPM_VWTP_PhysRespIdCon";
    default: return Fmt("code 0x%X", c);
  }
}

std::string Words(Reader& r) {
  std::string s;
  while (r.Remaining() >= 4) s += Fmt(" 0x%X", r.U32());
  return s;
}

std::string Payload(bool fromPcCommand, uint8_t command, const Bytes& data) {
  Reader r(data);
  switch (command) {
    case VCI_CMD_OPEN:
      return "";
    case VCI_CMD_CLOSE:
      return "";
    case VCI_CMD_IOCTL: {
      uint32_t hMod = r.U32();
      uint32_t hCLL = r.U32();
      uint8_t sub = r.U8();
      return Fmt("hMod=%u hCLL=%u %s(0x%02X)", hMod, hCLL, NameIn(pdu::mdf::IoCtlNameTable(), sub).c_str(), sub);
    }
    case VCI_CMD_PROBE:
      return Fmt("%zu bytes", data.size());
    case VCI_CMD_SET_LINK_RESOURCE: {
      uint32_t hMod = r.U32();
      uint32_t bus = r.U32();
      uint32_t proto = r.U32();
      uint32_t n = r.U32();
      std::string pins;
      for (uint32_t i = 0; i < n && r.Ok() && i < 16; ++i) {
        uint32_t pin = r.U32();
        uint32_t type = r.U32();
        // The pin type travels as the application's PDU_PIN_DATA holds it.
        pins += Fmt("%s%u:%u", i ? "," : "", pin, type);
      }
      r.U32();
      uint32_t hCLL = r.U32();
      uint32_t m = r.U32();
      return Fmt("hMod=%u hCLL=%u bus=%u(%s) protocol=%u(%s) pins=[%s] flags=%u", hMod, hCLL, bus,
                 BusName(bus).c_str(), proto, NameIn(pdu::mdf::ProtocolNameTable(), proto).c_str(), pins.c_str(), m);
    }
    case VCI_CMD_SET_LINK_PARAM: {
      uint32_t hMod = r.U32();
      uint32_t hCLL = r.U32();
      uint32_t c = r.U32();
      uint32_t type = r.U32();
      std::string value;
      if (type == 0x107) {
        r.U8();
        uint8_t act = r.U8();
        value = Bracketed(HexSpaced(r.Take(act)));
      } else {
        value = Fmt("%u", r.U32());
      }
      return Fmt("hMod=%u hCLL=%u %s(%u) %s = %s", hMod, hCLL, NameIn(pdu::mdf::ComParamNameTable(), c).c_str(), c,
                 DataTypeName(type).c_str(), value.c_str());
    }
    case VCI_CMD_CONNECT_LINK: {
      uint32_t hMod = r.U32();
      uint32_t hCLL = r.U32();
      r.U32();
      uint32_t entries = r.U32();
      uint32_t first = r.U32();
      uint32_t k = r.U32();
      std::string items;
      while (r.Ok() && r.Remaining() >= 5) {
        uint8_t c = r.U8();
        uint32_t v = r.U32();
        items += Fmt(" %s=0x%X", UniqueCodeName(c).c_str(), v);
      }
      return Fmt("hMod=%u hCLL=%u entries=%u uid=%u params=%u%s", hMod, hCLL, entries, first, k, items.c_str());
    }
    case VCI_CMD_DESTROY_LINK: {
      uint32_t hMod = r.U32();
      uint32_t hCLL = r.U32();
      return Fmt("hMod=%u hCLL=%u", hMod, hCLL);
    }
    case VCI_CMD_MODULE_CONNECT:
    case VCI_CMD_MODULE_DISCONNECT:
      return Fmt("hMod=%u", r.U32());
    case VCI_CMD_COP: {
      uint32_t hMod = r.U32();
      uint32_t hCLL = r.U32();
      uint32_t type = r.U32();
      uint32_t len = r.U32();
      Bytes req = r.Take(len);
      int32_t send = static_cast<int32_t>(r.U32());
      int32_t recv = static_cast<int32_t>(r.U32());
      uint32_t flags = r.U32();
      return Fmt("hMod=%u hCLL=%u %s request[%u]=[%s] send=%d recv=%d txflags=%u", hMod, hCLL, CopType(type).c_str(),
                 len, HexSpaced(req).c_str(), send, recv, flags);
    }
    default:
      (void)fromPcCommand;
      return Bracketed(HexSpaced(data));
  }
}

}  // namespace

const char* CommandName(uint8_t command) {
  switch (command) {
    case VCI_CMD_OPEN: return "OPEN";
    case VCI_CMD_CLOSE: return "CLOSE";
    case VCI_CMD_IOCTL: return "IOCTL";
    case VCI_CMD_PROBE: return "PROBE";
    case VCI_CMD_SET_LINK_RESOURCE: return "SET_LINK_RESOURCE";
    case VCI_CMD_DESTROY_LINK: return "DESTROY_LINK";
    case VCI_CMD_DISCONNECT_LINK: return "DISCONNECT_LINK";
    case VCI_CMD_SET_LINK_PARAM: return "SET_LINK_PARAM";
    case VCI_CMD_COP: return "COP";
    case VCI_CMD_CONNECT_LINK: return "CONNECT_LINK";
    case VCI_CMD_MODULE_CONNECT: return "MODULE_CONNECT";
    case VCI_CMD_MODULE_DISCONNECT: return "MODULE_DISCONNECT";
    case VCI_CMD_VEHICLE_DATA: return "VEHICLE_DATA";
    default: return "UNKNOWN";
  }
}

std::string DescribeData(bool fromPc, uint8_t command, const Bytes& data) {
  if (fromPc) return Payload(true, command, data);
  Reader r(data);
  if (command == VCI_CMD_PROBE) return Fmt("%zu bytes \"%s\"", data.size(), AsciiOf(data).c_str());
  if (command == VCI_CMD_VEHICLE_DATA) {
    uint32_t status = r.U32();
    uint32_t stamp = r.U32();
    uint32_t uid = r.U32();
    uint32_t n = r.U32();
    Bytes msg = r.Take(r.Remaining());
    return Fmt("status=%s t=%u uid=%u n=%u [%s]", Status(status).c_str(), stamp, uid, n, HexSpaced(msg).c_str());
  }
  uint32_t status = r.U32();
  if (!r.Ok()) return Bracketed(HexSpaced(data));
  std::string rest = Words(r);
  if (command == VCI_CMD_IOCTL && data.size() == 12) {
    Reader w(data);
    w.U32();
    uint32_t type = w.U32();
    uint32_t mv = w.U32();
    return Fmt("status=%s item=0x%X value=%u mV", Status(status).c_str(), type, mv);
  }
  return "status=" + Status(status) + (rest.empty() ? "" : " words:" + rest);
}

std::string DescribeFrame(bool fromPc, uint8_t channel, uint8_t sequence, uint8_t command, const Bytes& data) {
  const char* ch = channel == kChannelManagement ? "mgmt" : channel == kChannelVehicle ? "veh " : "??? ";
  std::string name = CommandName(command);
  if (!fromPc && command != VCI_CMD_VEHICLE_DATA) name += " answer";
  return Fmt("%s %s #%-3u %-24s ", fromPc ? "PC->VCI" : "VCI->PC", ch, sequence, name.c_str()) +
         DescribeData(fromPc, command, data);
}


std::optional<Frame> ParseFrame(const uint8_t* bytes, size_t count) {
  if (count < kMinFrameSize) return std::nullopt;
  // As it is (a log may hold frames unstuffed), else unstuffed first.
  std::vector<uint8_t> buffer(bytes, bytes + count);
  size_t n = count;
  if (!CheckFrame(buffer.data(), n)) {
    n = UnstuffFrame(bytes, count, buffer.data(), buffer.size());
    if (n == 0 || !CheckFrame(buffer.data(), n)) return std::nullopt;
  }
  const uint8_t* plain = buffer.data();
  Frame f;
  f.channel = plain[kFrameOffChannel];
  f.sequence = plain[4];
  f.command = plain[kFrameOffCommand];
  const size_t len = FrameDataLength(plain);
  f.data.assign(plain + kFrameOffData, plain + kFrameOffData + len);
  return f;
}

}  // namespace frametext
