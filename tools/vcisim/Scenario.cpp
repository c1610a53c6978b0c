#include "Scenario.h"

#include <fstream>
#include <sstream>
#include <stdexcept>

#include <nlohmann/json.hpp>

namespace vcisim {

namespace {

using nlohmann::json;

// Thrown inside the parser only; LoadScenario turns it into the error text.
struct ScenarioError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

[[noreturn]] void Fail(const std::string& where, const std::string& what) {
  throw ScenarioError(where + ": " + what);
}

uint32_t Number(const json& v, const std::string& where) {
  if (v.is_number_unsigned()) {
    uint64_t n = v.get<uint64_t>();
    if (n > 0xFFFFFFFFull) Fail(where, "number above 32 bits");
    return static_cast<uint32_t>(n);
  }
  if (v.is_number_integer()) {
    int64_t n = v.get<int64_t>();
    if (n < 0 || n > 0xFFFFFFFFll) Fail(where, "number out of range");
    return static_cast<uint32_t>(n);
  }
  if (v.is_string()) {
    const std::string s = v.get<std::string>();
    try {
      size_t used = 0;
      unsigned long long n = std::stoull(s, &used, 0);  // 0x.. hex, else decimal
      if (used != s.size() || n > 0xFFFFFFFFull) Fail(where, "bad number \"" + s + "\"");
      return static_cast<uint32_t>(n);
    } catch (const std::logic_error&) {
      Fail(where, "bad number \"" + s + "\"");
    }
  }
  Fail(where, "expected a number");
}

uint32_t NumberOr(const json& obj, const char* key, uint32_t fallback, const std::string& where) {
  auto it = obj.find(key);
  if (it == obj.end()) return fallback;
  return Number(*it, where + "." + key);
}

// Hex bytes, or "ascii:TEXT" for the bytes of TEXT.
Bytes ByteString(const json& v, const std::string& where) {
  if (!v.is_string()) Fail(where, "expected a hex string");
  const std::string s = v.get<std::string>();
  if (s.rfind("ascii:", 0) == 0) return Bytes(s.begin() + 6, s.end());
  auto bytes = ParseHex(s);
  if (!bytes) Fail(where, "bad hex \"" + s + "\"");
  return *bytes;
}

// Keys of identifier maps are hex ("F190", "0x90").
uint32_t HexKey(const std::string& key, const std::string& where) {
  auto bytes = ParseHex(key);
  if (!bytes || bytes->empty() || bytes->size() > 4) Fail(where, "bad identifier \"" + key + "\"");
  uint32_t v = 0;
  for (uint8_t b : *bytes) v = v << 8 | b;
  return v;
}

std::map<uint32_t, Bytes> IdMap(const json& obj, const char* key, const std::string& where) {
  std::map<uint32_t, Bytes> out;
  auto it = obj.find(key);
  if (it == obj.end()) return out;
  if (!it->is_object()) Fail(where + "." + key, "expected an object");
  for (const auto& [k, v] : it->items()) {
    std::string w = where + "." + key + "." + k;
    out[HexKey(k, w)] = ByteString(v, w);
  }
  return out;
}

// "P0301" (SAE J2012 letter form) or hex of two or three bytes.
Dtc ParseDtc(const json& v, const std::string& where) {
  Dtc d;
  const json* code = &v;
  if (v.is_object()) {
    if (!v.contains("code")) Fail(where, "missing \"code\"");
    code = &v["code"];
    d.status = static_cast<uint8_t>(NumberOr(v, "status", 0x09, where));
    d.failureType = static_cast<uint8_t>(NumberOr(v, "failure_type", 0, where));
  } else {
    d.status = 0x09;
  }
  if (!code->is_string()) Fail(where, "expected a DTC text");
  std::string s = code->get<std::string>();
  static const std::string kLetters = "PCBU";
  if (s.size() == 5 && kLetters.find(s[0]) != std::string::npos) {
    auto digits = ParseHex(s.substr(1));
    if (!digits || digits->size() != 2 || ((*digits)[0] >> 4) > 3) Fail(where, "bad DTC \"" + s + "\"");
    uint16_t letter = static_cast<uint16_t>(kLetters.find(s[0]));
    d.code = static_cast<uint16_t>(letter << 14 | (*digits)[0] << 8 | (*digits)[1]);
    return d;
  }
  auto bytes = ParseHex(s);
  if (!bytes || bytes->size() < 2 || bytes->size() > 3) Fail(where, "bad DTC \"" + s + "\"");
  d.code = static_cast<uint16_t>((*bytes)[0] << 8 | (*bytes)[1]);
  if (bytes->size() == 3) d.failureType = (*bytes)[2];
  return d;
}

EcuReply ParseReply(const json& v, const std::string& where) {
  EcuReply r;
  if (v.is_string()) {
    r.data = ByteString(v, where);
    return r;
  }
  if (!v.is_object() || !v.contains("data")) Fail(where, "expected a hex string or {\"data\": ...}");
  r.data = ByteString(v["data"], where + ".data");
  r.delayMs = NumberOr(v, "delay_ms", 0, where);
  return r;
}

RequestRule ParseRule(const json& v, const std::string& where) {
  if (!v.is_object() || !v.contains("request")) Fail(where, "expected {\"request\": ...}");
  RequestRule rule;
  rule.request = ByteString(v["request"], where + ".request");
  if (rule.request.empty()) Fail(where + ".request", "empty request");
  rule.prefix = v.value("prefix", false);
  rule.busy = NumberOr(v, "busy", 0, where);
  rule.busyLeft = rule.busy;
  rule.pending = NumberOr(v, "pending", 0, where);
  rule.pendingIntervalMs = NumberOr(v, "pending_interval_ms", 500, where);
  if (v.contains("responses")) {
    const json& rs = v["responses"];
    if (!rs.is_array()) Fail(where + ".responses", "expected an array");
    for (size_t i = 0; i < rs.size(); ++i) {
      rule.replies.push_back(ParseReply(rs[i], where + ".responses[" + std::to_string(i) + "]"));
    }
  }
  return rule;
}

EcuConfig ParseEcu(const json& v, const std::string& where) {
  if (!v.is_object()) Fail(where, "expected an object");
  EcuConfig e;
  e.name = v.value("name", std::string("ecu"));
  std::string bus = v.value("bus", std::string("can"));
  if (bus == "can") {
    e.bus = EcuBus::kCan;
  } else if (bus == "kline") {
    e.bus = EcuBus::kKLine;
  } else if (bus == "tp20") {
    e.bus = EcuBus::kTp20;
  } else {
    Fail(where + ".bus", "expected \"can\", \"kline\" or \"tp20\"");
  }
  std::string behaviour = v.value("behaviour", std::string(e.bus == EcuBus::kCan ? "uds" : "kwp"));
  if (behaviour == "uds") {
    e.behaviour = EcuBehaviour::kUds;
  } else if (behaviour == "kwp") {
    e.behaviour = EcuBehaviour::kKwp;
  } else if (behaviour == "none") {
    e.behaviour = EcuBehaviour::kTableOnly;
  } else if (behaviour == "raw") {
    e.behaviour = EcuBehaviour::kRaw;
  } else {
    Fail(where + ".behaviour", "expected \"uds\", \"kwp\", \"raw\" or \"none\"");
  }
  e.requestId = NumberOr(v, "request_id", e.requestId, where);
  e.responseId = NumberOr(v, "response_id", e.requestId + 8, where);
  if (v.contains("functional_id")) {
    if (v["functional_id"].is_null()) {
      e.functionalId.reset();
    } else {
      e.functionalId = Number(v["functional_id"], where + ".functional_id");
    }
  }
  e.address = NumberOr(v, "address", e.bus == EcuBus::kTp20 ? 1 : 0x10, where);
  if (v.contains("functional_address")) {
    if (v["functional_address"].is_null()) {
      e.functionalAddress.reset();
    } else {
      e.functionalAddress = Number(v["functional_address"], where + ".functional_address");
    }
  }
  e.delayMs = NumberOr(v, "delay_ms", e.delayMs, where);
  e.seed = NumberOr(v, "seed", e.seed, where);

  e.dataIds = IdMap(v, "data_ids", where);
  e.identification = IdMap(v, "identification", where);
  e.localIds = IdMap(v, "local_ids", where);
  // The two identifiers every diagnostic user asks first.
  if (v.contains("vin")) {
    Bytes vin = ByteString(json("ascii:" + v["vin"].get<std::string>()), where + ".vin");
    if (e.behaviour == EcuBehaviour::kKwp) {
      e.identification.emplace(0x90, vin);
    } else {
      e.dataIds.emplace(0xF190, vin);
    }
  }
  if (v.contains("serial")) {
    Bytes serial = ByteString(json("ascii:" + v["serial"].get<std::string>()), where + ".serial");
    if (e.behaviour == EcuBehaviour::kKwp) {
      e.identification.emplace(0x8C, serial);
    } else {
      e.dataIds.emplace(0xF18C, serial);
    }
  }
  if (v.contains("dtcs")) {
    const json& ds = v["dtcs"];
    if (!ds.is_array()) Fail(where + ".dtcs", "expected an array");
    for (size_t i = 0; i < ds.size(); ++i) {
      e.dtcs.push_back(ParseDtc(ds[i], where + ".dtcs[" + std::to_string(i) + "]"));
    }
  }
  if (v.contains("routines")) {
    const json& rs = v["routines"];
    if (!rs.is_object()) Fail(where + ".routines", "expected an object");
    for (const auto& [k, r] : rs.items()) {
      std::string w = where + ".routines." + k;
      if (!r.is_object()) Fail(w, "expected an object");
      Routine routine;
      routine.pending = NumberOr(r, "pending", 0, w);
      routine.pendingIntervalMs = NumberOr(r, "pending_interval_ms", 500, w);
      if (r.contains("result")) routine.result = ByteString(r["result"], w + ".result");
      e.routines[HexKey(k, w)] = routine;
    }
  }
  if (v.contains("requests")) {
    const json& rs = v["requests"];
    if (!rs.is_array()) Fail(where + ".requests", "expected an array");
    for (size_t i = 0; i < rs.size(); ++i) {
      e.rules.push_back(ParseRule(rs[i], where + ".requests[" + std::to_string(i) + "]"));
    }
  }
  if (v.contains("periodic")) {
    const json& ps = v["periodic"];
    if (!ps.is_array()) Fail(where + ".periodic", "expected an array");
    for (size_t i = 0; i < ps.size(); ++i) {
      std::string w = where + ".periodic[" + std::to_string(i) + "]";
      const json& p = ps[i];
      if (!p.is_object() || !p.contains("id")) Fail(w, "expected {\"id\": ..., \"data\": ...}");
      PeriodicFrame f;
      f.id = Number(p["id"], w + ".id");
      if (p.contains("data")) f.data = ByteString(p["data"], w + ".data");
      if (f.data.size() > 8) Fail(w + ".data", "at most 8 bytes in a CAN frame");
      f.periodMs = NumberOr(p, "period_ms", f.periodMs, w);
      f.count = NumberOr(p, "count", f.count, w);
      f.counter = p.value("counter", false);
      e.periodic.push_back(std::move(f));
    }
  }
  return e;
}

}  // namespace

uint32_t KeyFromSeed(uint32_t seed) {
  return ((seed << 3) | (seed >> 29)) ^ 0x5AA5C33Cu;
}

std::optional<Scenario> ParseScenario(const std::string& jsonText, std::string& error) {
  try {
    json root = json::parse(jsonText);
    if (!root.is_object()) Fail("$", "expected an object");
    Scenario s;
    s.name = root.value("name", std::string("unnamed"));
    s.description = root.value("description", std::string());
    if (root.contains("vci")) {
      const json& vci = root["vci"];
      if (!vci.is_object()) Fail("$.vci", "expected an object");
      s.vci.batteryMv = NumberOr(vci, "battery_mv", s.vci.batteryMv, "$.vci");
      s.vci.ignition = NumberOr(vci, "ignition", s.vci.ignition, "$.vci");
      s.vci.firmware = NumberOr(vci, "firmware", s.vci.firmware, "$.vci");
    }
    if (!root.contains("ecus") || !root["ecus"].is_array()) Fail("$.ecus", "expected an array");
    const json& ecus = root["ecus"];
    for (size_t i = 0; i < ecus.size(); ++i) {
      s.ecus.push_back(ParseEcu(ecus[i], "$.ecus[" + std::to_string(i) + "]"));
    }
    return s;
  } catch (const ScenarioError& e) {
    error = e.what();
  } catch (const json::exception& e) {
    error = e.what();
  }
  return std::nullopt;
}

std::optional<Scenario> LoadScenario(const std::string& path, std::string& error) {
  std::ifstream in(path);
  if (!in) {
    error = "cannot open " + path;
    return std::nullopt;
  }
  std::stringstream text;
  text << in.rdbuf();
  auto s = ParseScenario(text.str(), error);
  if (!s) error = path + ": " + error;
  return s;
}

Scenario DefaultScenario() {
  Scenario s;
  s.name = "default";
  s.description = "one UDS ECU on CAN (0x7E0/0x7E8)";
  EcuConfig e;
  e.name = "engine";
  e.dataIds[0xF190] = Bytes{'W', 'D', 'D', '0', '0', '0', '0', '0', '0', '0', '0', '0', '0', '0', '0', '0', '1'};
  s.ecus.push_back(e);
  return s;
}

}  // namespace vcisim
