#include "Commands.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "HexBytes.h"
#include "Names.h"
#include "Numbers.h"
#include "Signals.h"
#include "StandardNames.h"

namespace pdutool {

using nlohmann::json;

namespace {

bool ParseNumber(const std::string& text, uint32_t& out) {
  auto v = ParseUnsigned(text);
  if (!v) return false;
  out = *v;
  return true;
}

int Finish(Client& client, json& doc, int failureCode) {
  bool ok = !client.Failed();
  doc["ok"] = ok;
  if (!doc.contains("error")) doc["error"] = nullptr;
  return ok ? kExitOk : failureCode;
}

// ComParam value from text, in the form the data type needs.
struct ParamValue {
  PDU_PARAM_ITEM item{};
  UNUM32 number = 0;
  std::vector<UNUM8> bytes;
  std::vector<UNUM32> longs;
  PDU_PARAM_BYTEFIELD_DATA byteField{};
  PDU_PARAM_LONGFIELD_DATA longField{};
};

bool MakeValue(ParamValue& v, T_PDU_PT type, const std::string& text) {
  v.item.ComParamDataType = type;
  if (type == PDU_PT_BYTEFIELD) {
    auto bytes = ParseHexBytes(text);
    if (!bytes) return false;
    v.bytes = *bytes;
    v.byteField.ParamMaxLen = static_cast<UNUM32>(v.bytes.size());
    v.byteField.ParamActLen = static_cast<UNUM32>(v.bytes.size());
    v.byteField.pDataArray = v.bytes.data();
    v.item.pComParamData = &v.byteField;
    return true;
  }
  if (type == PDU_PT_LONGFIELD) {
    std::stringstream in(text);
    std::string part;
    while (std::getline(in, part, ',')) {
      uint32_t n = 0;
      if (!ParseNumber(part, n)) return false;
      v.longs.push_back(n);
    }
    v.longField.ParamMaxLen = static_cast<UNUM32>(v.longs.size());
    v.longField.ParamActLen = static_cast<UNUM32>(v.longs.size());
    v.longField.pDataArray = v.longs.data();
    v.item.pComParamData = &v.longField;
    return true;
  }
  if (!ParseNumber(text, v.number)) return false;
  // The value sits at the start of a 32-bit word; on a little-endian
  // machine the narrower types read their own width from it.
  v.item.pComParamData = &v.number;
  return true;
}

}  // namespace

std::optional<std::vector<uint8_t>> ParseHexBytes(const std::string& text) {
  auto bytes = hexbytes::ParseHex(text);
  if (!bytes || bytes->empty()) return std::nullopt;
  return bytes;
}

std::string AddCanIds(const std::string& tx, const std::string& rx,
                      std::vector<std::pair<std::string, std::string>>& params,
                      std::vector<std::vector<std::pair<std::string, std::string>>>& unique) {
  if (!tx.empty() && !ParseUnsigned(tx)) return "--tx: not a number: " + tx;
  if (!rx.empty() && !ParseUnsigned(rx)) return "--rx: not a number: " + rx;
  if (!tx.empty()) params.insert(params.begin(), {"CP_CanPhysReqId", tx});
  if (!rx.empty()) {
    std::vector<std::pair<std::string, std::string>> entry;
    if (!tx.empty()) entry.emplace_back("CP_CanPhysReqId", tx);
    entry.emplace_back("CP_CanRespUSDTId", rx);
    unique.push_back(entry);
  }
  return "";
}

int SetupLink(Client& client, json& doc, UNUM32 hCLL,
              const std::vector<std::vector<std::pair<std::string, std::string>>>& unique,
              const std::vector<std::pair<std::string, std::string>>& params) {
  const PduFunctions& fn = client.Fn();
  // The unique response table: one entry per --unique, identifiers from 1.
  if (!unique.empty()) {
    std::vector<std::vector<ParamValue>> values(unique.size());
    std::vector<std::vector<PDU_PARAM_ITEM>> items(unique.size());
    std::vector<PDU_ECU_UNIQUE_RESP_DATA> entries(unique.size());
    json table = json::array();
    for (size_t e = 0; e < unique.size(); ++e) {
      json jentry = {{"uniqueRespId", e + 1}, {"params", json::array()}};
      values[e].resize(unique[e].size());
      for (size_t i = 0; i < unique[e].size(); ++i) {
        const auto& [name, text] = unique[e][i];
        UNUM32 id = client.ObjectId(PDU_OBJT_COMPARAM, name);
        if (id == PDU_ID_UNDEF || !MakeValue(values[e][i], PDU_PT_UNUM32, text)) {
          client.SetError("bad unique response ComParam " + name + "=" + text);
          return kExitUsage;
        }
        values[e][i].item.ItemType = PDU_IT_PARAM;
        values[e][i].item.ComParamId = id;
        values[e][i].item.ComParamClass = PDU_PC_UNIQUE_ID;
        items[e].push_back(values[e][i].item);
        jentry["params"].push_back({{"name", name}, {"value", values[e][i].number}});
      }
      entries[e] = {static_cast<UNUM32>(e + 1), static_cast<UNUM32>(items[e].size()), items[e].data()};
      table.push_back(jentry);
    }
    PDU_UNIQUE_RESP_ID_TABLE_ITEM t{PDU_IT_UNIQUE_RESP_ID_TABLE, static_cast<UNUM32>(entries.size()), entries.data()};
    client.Check("PDUSetUniqueRespIdTable", Invoke(fn.PDUSetUniqueRespIdTable, client.hMod(), hCLL, &t));
    doc["uniqueTable"] = table;
    client.Say("unique response table: %u entr%s", static_cast<unsigned>(entries.size()), entries.size() == 1 ? "y" : "ies");
  }

  // ComParams, after the table so that they win where both name one.
  if (!doc.contains("params")) doc["params"] = json::array();
  for (const auto& [name, text] : params) {
    UNUM32 id = client.ObjectId(PDU_OBJT_COMPARAM, name);
    if (id == PDU_ID_UNDEF) {
      client.SetError("unknown ComParam " + name);
      return kExitCallFailed;
    }
    // Take the data type and class the link already has for it.
    T_PDU_PT type = PDU_PT_UNUM32;
    T_PDU_PC pclass = PDU_PC_COM;
    PDU_PARAM_ITEM* current = nullptr;
    if (Invoke(fn.PDUGetComParam, client.hMod(), hCLL, id, &current) == PDU_STATUS_NOERROR && current != nullptr) {
      if (current->ComParamDataType != 0) type = current->ComParamDataType;
      if (current->ComParamClass != 0) pclass = current->ComParamClass;
      Invoke(fn.PDUDestroyItem, reinterpret_cast<PDU_ITEM*>(current));
    }
    ParamValue v;
    if (!MakeValue(v, type, text)) {
      client.SetError("bad value for " + name + ": " + text);
      return kExitCallFailed;
    }
    v.item.ItemType = PDU_IT_PARAM;
    v.item.ComParamId = id;
    v.item.ComParamClass = pclass;
    client.Check("PDUSetComParam", Invoke(fn.PDUSetComParam, client.hMod(), hCLL, &v.item));
    doc["params"].push_back({{"name", name}, {"id", id}, {"value", text}});
    client.Say("ComParam %s = %s", name.c_str(), text.c_str());
  }
  return kExitOk;
}

// ---- session -----------------------------------------------------------

int RunSession(Client& client, json& doc, const SessionOptions& o) {
  const PduFunctions& fn = client.Fn();
  doc["command"] = "session";
  doc["primitives"] = json::array();
  doc["linkEvents"] = json::array();
  if (!client.Open()) {
    client.Close();
    return Finish(client, doc, kExitCallFailed);
  }

  // The resource: an object id, or a short name looked up in the module.
  uint32_t resourceId = 0;
  if (!ParseNumber(o.resource, resourceId)) {
    resourceId = client.ObjectId(PDU_OBJT_RESOURCE, o.resource);
    if (resourceId == PDU_ID_UNDEF) {
      client.SetError("unknown resource " + o.resource);
      client.Close();
      return Finish(client, doc, kExitCallFailed);
    }
  }
  doc["resource"] = {{"name", o.resource}, {"id", resourceId}};

  UNUM32 hCLL = PDU_HANDLE_UNDEF;
  PDU_FLAG_DATA noFlags{0, nullptr};
  if (!client.Check("PDUCreateComLogicalLink",
                    Invoke(fn.PDUCreateComLogicalLink, client.hMod(), nullptr, resourceId, nullptr, &hCLL, &noFlags))) {
    client.Close();
    return Finish(client, doc, kExitCallFailed);
  }
  doc["hCLL"] = hCLL;
  if (o.raw) client.MarkRawLink(hCLL);
  client.Say("link %u on %s (resource id %u)", hCLL, o.resource.c_str(), resourceId);
  client.RegisterCallback(hCLL, true);

  const int setup = SetupLink(client, doc, hCLL, o.unique, o.params);
  if (setup == kExitUsage) {
    client.RegisterCallback(hCLL, false);
    client.Check("PDUDestroyComLogicalLink", Invoke(fn.PDUDestroyComLogicalLink, client.hMod(), hCLL));
    client.Close();
    return Finish(client, doc, kExitUsage);
  }
  const bool setupOk = setup == kExitOk;


  if (setupOk && client.Check("PDUConnect", Invoke(fn.PDUConnect, client.hMod(), hCLL))) {
    client.CollectLinkEvents(hCLL, 500);
    bool running = true;
    bool started = false;
    auto run = [&](T_PDU_COPT type, const std::vector<uint8_t>& req, int32_t cycles) {
      if (!running || StopRequested()) return;
      json prim = client.RunPrimitive(hCLL, type, req, cycles);
      if (type == PDU_COPT_STARTCOMM && prim["status"] == "FINISHED") started = true;
      // A ComPrimitive that never finishes means the library or the VCI
      // stopped working: do not queue more behind it.
      if (prim["status"] == "TIMEOUT" || client.VciLost()) running = false;
    };
    if (o.startComm) run(PDU_COPT_STARTCOMM, o.startCommData, 1);
    for (const auto& req : o.requests) run(PDU_COPT_SENDRECV, req, o.receiveCycles);
    if (StopRequested()) {
      client.Say("stopping (signal): STOPCOMM, disconnect, destroy, destruct");
      doc["stopped"] = true;
    }
    // After a signal the communication is still stopped properly, so that
    // the VCI does not keep an open link.
    if (o.startComm && (running || started) && !client.VciLost()) {
      client.RunPrimitive(hCLL, PDU_COPT_STOPCOMM, {}, 1, true);
    }
    client.Check("PDUDisconnect", Invoke(fn.PDUDisconnect, client.hMod(), hCLL));
    client.CollectLinkEvents(hCLL, 300);
    if (client.WindowGaps() != 0) {
      client.Say("receive window gaps: %llu (the frames between two SENDRECVs of a raw CAN link are not received)",
                 static_cast<unsigned long long>(client.WindowGaps()));
    }
  }
  client.RegisterCallback(hCLL, false);
  client.Check("PDUDestroyComLogicalLink", Invoke(fn.PDUDestroyComLogicalLink, client.hMod(), hCLL));
  client.Close();

  int failedPrims = 0;
  int unanswered = 0;
  for (const auto& p : doc["primitives"]) {
    if (p["status"] == "NO_RESPONSE") ++unanswered;
    else if (p["status"] != "FINISHED" && p["status"] != "CANCELLED") ++failedPrims;
  }
  if (StopRequested()) {
    Finish(client, doc, kExitStopped);
    doc["ok"] = false;
    if (doc["error"].is_null()) doc["error"] = "stopped by a signal";
    return kExitStopped;
  }
  if (unanswered > 0 && failedPrims == 0) {
    client.SetError(std::to_string(unanswered) + " request(s) got no response");
    Finish(client, doc, kExitCallFailed);
    return kExitCallFailed;
  }
  if (failedPrims > 0) {
    client.SetError(std::to_string(failedPrims) + " ComPrimitive(s) ended with an error or did not finish");
    Finish(client, doc, kExitPrimitiveFailed);
    return doc["failures"].empty() ? kExitPrimitiveFailed : kExitCallFailed;
  }
  return Finish(client, doc, kExitCallFailed);
}

// ---- ioctl -------------------------------------------------------------

int RunIoctl(Client& client, json& doc, const std::string& what) {
  std::string name = what;
  if (what == "vbatt") name = "PDU_IOCTL_READ_VBATT";
  if (what == "ignition") name = "PDU_IOCTL_READ_IGNITION_SENSE_STATE";
  doc["command"] = "ioctl";
  doc["ioctl"] = name;
  if (!client.Open()) {
    client.Close();
    return Finish(client, doc, kExitCallFailed);
  }
  UNUM32 id = client.ObjectId(PDU_OBJT_IO_CTRL, name);
  if (id == PDU_ID_UNDEF) {
    client.SetError("the module has no I/O control " + name);
    client.Close();
    return Finish(client, doc, kExitCallFailed);
  }
  doc["id"] = id;
  PDU_DATA_ITEM* out = nullptr;
  T_PDU_ERROR status = Invoke(client.Fn().PDUIoCtl, client.hMod(), PDU_HANDLE_UNDEF, id, nullptr, &out);
  client.CheckIoCtlStatus(status);
  doc["status"] = StatusName(status);
  bool ok = client.Check("PDUIoCtl", status);
  if (!ok) {
    // A failed call has no reading, whatever the item holds.
    doc["value"] = nullptr;
    client.Say("%s: FAILED: %s", name.c_str(), StatusName(status).c_str());
  }
  if (out != nullptr) {
    doc["itemType"] = ItemTypeName(out->ItemType);
    if (ok && out->ItemType == PDU_IT_IO_UNUM32 && out->pData != nullptr) {
      UNUM32 value = *static_cast<UNUM32*>(out->pData);
      doc["value"] = value;
      if (name == "PDU_IOCTL_READ_VBATT") {
        doc["unit"] = "mV";
        client.Say("battery voltage: %u mV (%.2f V)", value, value / 1000.0);
      } else if (name == "PDU_IOCTL_READ_IGNITION_SENSE_STATE") {
        client.Say("ignition: %s (%u)", value ? "on" : "off", value);
      } else {
        client.Say("%s: %u", name.c_str(), value);
      }
    }
    Invoke(client.Fn().PDUDestroyItem, reinterpret_cast<PDU_ITEM*>(out));
  } else if (ok && (name == "PDU_IOCTL_READ_VBATT" || name == "PDU_IOCTL_READ_IGNITION_SENSE_STATE")) {
    client.SetError("PDUIoCtl gave no reading");
  } else if (ok) {
    client.Say("%s: done", name.c_str());
  }
  client.Close();
  return Finish(client, doc, kExitCallFailed);
}

// ---- info --------------------------------------------------------------

int RunInfo(Client& client, json& doc, const std::string& mdfPath) {
  doc["command"] = "info";
  const PduFunctions& fn = client.Fn();
  if (!client.Open()) {
    client.Close();
    return Finish(client, doc, kExitCallFailed);
  }
  for (const auto& m : doc["modules"]) {
    client.Say("module %u (type %u): %s", m["hMod"].get<unsigned>(), m["moduleTypeId"].get<unsigned>(),
               m["vendorModuleName"].get<std::string>().c_str());
    client.Say("  %s, %s", m["vendorAdditionalInfo"].get<std::string>().c_str(), m["status"].get<std::string>().c_str());
  }

  PDU_VERSION_DATA v{};
  if (client.Check("PDUGetVersion", Invoke(fn.PDUGetVersion, client.hMod(), &v))) {
    auto ver = [](UNUM32 x) {
      char buf[32];
      std::snprintf(buf, sizeof buf, "%u.%u.%u", x >> 24, (x >> 16) & 0xFF, (x >> 8) & 0xFF);
      return std::string(buf);
    };
    doc["version"] = {{"vendorName", v.VendorName}, {"hwName", v.HwName}, {"hwSerialNumber", v.HwSerialNumber},
                      {"hwVersion", ver(v.HwVersion)}, {"hwDate", v.HwDate}, {"fwName", v.FwName},
                      {"fwVersion", ver(v.FwVersion)}, {"fwDate", v.FwDate}, {"apiSwName", v.PDUApiSwName},
                      {"apiSwVersion", ver(v.PDUApiSwVersion)}, {"apiSwDate", v.PDUApiSwDate},
                      {"part1StandardVersion", ver(v.MVCI_Part1StandardVersion)},
                      {"part2StandardVersion", ver(v.MVCI_Part2StandardVersion)}};
    client.Say("version: %s %s, firmware %s %s, API %s %s", v.VendorName, v.HwName, v.FwName,
               ver(v.FwVersion).c_str(), v.PDUApiSwName, ver(v.PDUApiSwVersion).c_str());
  }
  T_PDU_STATUS st = 0;
  UNUM32 stamp = 0;
  UNUM32 extra = 0;
  if (client.Check("PDUGetStatus", Invoke(fn.PDUGetStatus, client.hMod(), PDU_HANDLE_UNDEF, PDU_HANDLE_UNDEF, &st,
                                          &stamp, &extra))) {
    doc["status"] = {{"module", StatusValueName(st)}, {"timestamp", stamp}};
    client.Say("status: %s", StatusValueName(st).c_str());
  }

  // Objects by type: the standard names the module knows, and the
  // resources of the module description file when one is at hand.
  json objects = json::object();
  auto list = [&](const char* label, T_PDU_OBJT type, std::span<const char* const> names) {
    json arr = json::array();
    for (const char* n : names) {
      UNUM32 id = client.ObjectId(type, n);
      if (id != PDU_ID_UNDEF) arr.push_back({{"name", n}, {"id", id}});
    }
    client.Say("%s (%u):", label, static_cast<unsigned>(arr.size()));
    for (const auto& o : arr) {
      client.Say("  %6u  %s", o["id"].get<unsigned>(), o["name"].get<std::string>().c_str());
    }
    objects[label] = arr;
  };
  list("PROTOCOL", PDU_OBJT_PROTOCOL, StandardProtocols());
  list("BUSTYPE", PDU_OBJT_BUSTYPE, StandardBusTypes());
  list("PINTYPE", PDU_OBJT_PINTYPE, StandardPinTypes());
  list("IO_CTRL", PDU_OBJT_IO_CTRL, StandardIoCtls());
  list("COMPARAM", PDU_OBJT_COMPARAM, StandardComParams());
  std::vector<std::string> resources;
  std::ifstream in(mdfPath);
  if (in) {
    // Resource names are the module's own: take them from the file, then
    // ask the module for their ids like all others.
    std::stringstream text;
    text << in.rdbuf();
    const std::string s = text.str();
    for (size_t at = s.find("<RESOURCE"); at != std::string::npos; at = s.find("<RESOURCE", at + 1)) {
      size_t a = s.find("<SHORT_NAME>", at);
      size_t b = s.find("</SHORT_NAME>", a);
      size_t end = s.find("</RESOURCE>", at);
      if (a == std::string::npos || b == std::string::npos || a > end) continue;
      resources.push_back(s.substr(a + 12, b - a - 12));
    }
  }
  std::vector<const char*> names;
  for (const auto& r : resources) names.push_back(r.c_str());
  list("RESOURCE", PDU_OBJT_RESOURCE, names);
  doc["objects"] = objects;
  client.Close();
  return Finish(client, doc, kExitCallFailed);
}

}  // namespace pdutool
