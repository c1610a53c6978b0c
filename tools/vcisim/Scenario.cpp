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

// The JSON type of a value, as the error texts name it.
std::string TypeName(const json& v) {
  if (v.is_string()) return "a string";
  if (v.is_boolean()) return "a boolean";
  if (v.is_number()) return "a number";
  if (v.is_array()) return "an array";
  if (v.is_object()) return "an object";
  return "null";
}

// Rejects every key of obj that is not in allowed: a misspelt key must not
// silently fall back to a default.
void Keys(const json& obj, const std::string& where, std::initializer_list<const char*> allowed) {
  for (const auto& [key, value] : obj.items()) {
    bool known = false;
    for (const char* a : allowed) known = known || key == a;
    if (known) continue;
    std::string list;
    for (const char* a : allowed) list += (list.empty() ? "" : ", ") + std::string(a);
    Fail(where + "." + key, "unknown key (expected one of: " + list + ")");
  }
}

void Object(const json& v, const std::string& where) {
  if (!v.is_object()) Fail(where, "expected an object, found " + TypeName(v));
}

std::string Text(const json& obj, const char* key, const std::string& fallback, const std::string& where) {
  auto it = obj.find(key);
  if (it == obj.end()) return fallback;
  if (!it->is_string()) Fail(where + "." + key, "expected a string, found " + TypeName(*it));
  return it->get<std::string>();
}

bool Flag(const json& obj, const char* key, bool fallback, const std::string& where) {
  auto it = obj.find(key);
  if (it == obj.end()) return fallback;
  if (!it->is_boolean()) Fail(where + "." + key, "expected true or false, found " + TypeName(*it));
  return it->get<bool>();
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
  Fail(where, "expected a number (or a string such as \"0x7E0\"), found " + TypeName(v));
}

uint32_t NumberOr(const json& obj, const char* key, uint32_t fallback, const std::string& where) {
  auto it = obj.find(key);
  if (it == obj.end()) return fallback;
  return Number(*it, where + "." + key);
}

// Hex bytes, or "ascii:TEXT" for the bytes of TEXT.
Bytes ByteString(const json& v, const std::string& where) {
  if (!v.is_string()) Fail(where, "expected a hex string (\"62 F1 90\" or \"ascii:TEXT\"), found " + TypeName(v));
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
  Object(*it, where + "." + key);
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
    Keys(v, where, {"code", "status", "failure_type"});
    if (!v.contains("code")) Fail(where + ".code", "missing (the trouble code, \"P0301\" or hex)");
    code = &v["code"];
    d.status = static_cast<uint8_t>(NumberOr(v, "status", 0x09, where));
    d.failureType = static_cast<uint8_t>(NumberOr(v, "failure_type", 0, where));
  } else {
    d.status = 0x09;
  }
  if (!code->is_string()) Fail(v.is_object() ? where + ".code" : where, "expected a trouble code text (\"P0301\" or hex), found " + TypeName(*code));
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

// A text field given as its ASCII bytes.
Bytes Ascii(const json& v, const std::string& where) {
  if (!v.is_string()) Fail(where, "expected a text (a JSON string), found " + TypeName(v));
  const std::string s = v.get<std::string>();
  return Bytes(s.begin(), s.end());
}

// One of a fixed set of words.
template <typename T>
T Choice(const json& obj, const char* key, const std::map<std::string, T>& choices, const std::string& fallback,
         const std::string& where) {
  std::string word = fallback;
  auto it = obj.find(key);
  if (it != obj.end()) {
    std::string expected;
    for (const auto& [name, value] : choices) expected += (expected.empty() ? "\"" : ", \"") + name + "\"";
    if (!it->is_string()) Fail(where + "." + key, "expected one of " + expected + ", found " + TypeName(*it));
    word = it->get<std::string>();
    if (!choices.count(word)) Fail(where + "." + key, "expected one of " + expected + ", not \"" + word + "\"");
  }
  return choices.at(word);
}

EcuReply ParseReply(const json& v, const std::string& where) {
  EcuReply r;
  if (v.is_string()) {
    r.data = ByteString(v, where);
    return r;
  }
  if (!v.is_object()) Fail(where, "expected a hex string or {\"data\": ..., \"delay_ms\": ...}, found " + TypeName(v));
  Keys(v, where, {"data", "delay_ms"});
  if (!v.contains("data")) Fail(where + ".data", "missing (the response bytes)");
  r.data = ByteString(v["data"], where + ".data");
  r.delayMs = NumberOr(v, "delay_ms", 0, where);
  return r;
}

RequestRule ParseRule(const json& v, const std::string& where) {
  Object(v, where);
  Keys(v, where, {"request", "prefix", "responses", "busy", "pending", "pending_interval_ms"});
  if (!v.contains("request")) Fail(where + ".request", "missing (the request bytes)");
  RequestRule rule;
  rule.request = ByteString(v["request"], where + ".request");
  if (rule.request.empty()) Fail(where + ".request", "empty request");
  rule.prefix = Flag(v, "prefix", false, where);
  rule.busy = NumberOr(v, "busy", 0, where);
  rule.busyLeft = rule.busy;
  rule.pending = NumberOr(v, "pending", 0, where);
  rule.pendingIntervalMs = NumberOr(v, "pending_interval_ms", 500, where);
  if (v.contains("responses")) {
    const json& rs = v["responses"];
    if (!rs.is_array()) Fail(where + ".responses", "expected an array, found " + TypeName(rs));
    for (size_t i = 0; i < rs.size(); ++i) {
      rule.replies.push_back(ParseReply(rs[i], where + ".responses[" + std::to_string(i) + "]"));
    }
  }
  return rule;
}

EcuConfig ParseEcu(const json& v, const std::string& where) {
  Object(v, where);
  // An ECU's own frame list restarted at every receive window; the bus's
  // frames are the scenario's traffic now, on the bus's clock. Older files
  // are refused with the way over rather than run differently.
  if (v.contains("periodic")) {
    Fail(where + ".periodic",
         "use \"traffic\" (a top-level list: move each frame there as {\"family\": \"raw_can\", \"id\", "
         "\"data\", \"period_ms\", \"counter\"}; it runs on the bus's clock, so \"count\" has no equivalent)");
  }
  Keys(v, where, {"name", "bus", "behaviour", "request_id", "response_id", "functional_id", "address",
                  "functional_address", "delay_ms", "seed", "vin", "serial", "data_ids", "identification",
                  "local_ids", "pids", "key_bytes", "dtcs", "routines", "requests"});
  EcuConfig e;
  e.name = Text(v, "name", "ecu", where);
  static const std::map<std::string, EcuBus> kBuses{
      {"can", EcuBus::kCan},     {"kline", EcuBus::kKLine}, {"tp20", EcuBus::kTp20},   {"tp16", EcuBus::kTp16},
      {"j1850", EcuBus::kJ1850}, {"j1939", EcuBus::kJ1939}, {"j1708", EcuBus::kJ1708}, {"sci", EcuBus::kSci},
  };
  static const std::map<std::string, EcuBehaviour> kBehaviours{
      {"uds", EcuBehaviour::kUds},       {"kwp", EcuBehaviour::kKwp},     {"none", EcuBehaviour::kTableOnly},
      {"raw", EcuBehaviour::kRaw},       {"obd", EcuBehaviour::kObd},     {"kw1281", EcuBehaviour::kKw1281},
      {"j1939", EcuBehaviour::kJ1939},   {"j1587", EcuBehaviour::kJ1587}, {"sci", EcuBehaviour::kSci},
  };
  e.bus = Choice(v, "bus", kBuses, std::string("can"), where);
  // Each bus has the services its vehicles usually speak.
  static const std::map<EcuBus, std::string> kDefaultBehaviour{
      {EcuBus::kCan, "uds"},     {EcuBus::kKLine, "kwp"},   {EcuBus::kTp20, "kwp"},    {EcuBus::kTp16, "kwp"},
      {EcuBus::kJ1850, "obd"},   {EcuBus::kJ1939, "j1939"}, {EcuBus::kJ1708, "j1587"}, {EcuBus::kSci, "sci"},
  };
  e.behaviour = Choice(v, "behaviour", kBehaviours, kDefaultBehaviour.at(e.bus), where);
  e.requestId = NumberOr(v, "request_id", e.requestId, where);
  e.responseId = NumberOr(v, "response_id", e.requestId + 8, where);
  if (v.contains("functional_id")) {
    if (v["functional_id"].is_null()) {
      e.functionalId.reset();
    } else {
      e.functionalId = Number(v["functional_id"], where + ".functional_id");
    }
  }
  uint32_t defaultAddress = 0x10;
  if (e.bus == EcuBus::kTp20 || e.bus == EcuBus::kTp16) defaultAddress = 1;
  if (e.bus == EcuBus::kJ1939) defaultAddress = 0x00;  // engine #1
  if (e.bus == EcuBus::kJ1708) defaultAddress = 0x80;  // MID 128, engine #1
  e.address = NumberOr(v, "address", defaultAddress, where);
  // OBD functional addressing: 0x6A on J1850, 0x33 on the K-line.
  if (e.bus == EcuBus::kJ1850) e.functionalAddress = 0x6A;
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
    Bytes vin = Ascii(v["vin"], where + ".vin");
    switch (e.behaviour) {
      case EcuBehaviour::kKwp:
      case EcuBehaviour::kObd:
      case EcuBehaviour::kKw1281:
        e.identification.emplace(0x90, vin);
        break;
      case EcuBehaviour::kJ1939:  // PGN 65260, '*'-terminated
        vin.push_back('*');
        e.dataIds.emplace(0xFEEC, vin);
        break;
      case EcuBehaviour::kJ1587: {  // PID 237: byte count, then the text
        Bytes value{static_cast<uint8_t>(vin.size())};
        value.insert(value.end(), vin.begin(), vin.end());
        e.dataIds.emplace(0xED, value);
        break;
      }
      default:
        e.dataIds.emplace(0xF190, vin);
        break;
    }
  }
  if (v.contains("serial")) {
    Bytes serial = Ascii(v["serial"], where + ".serial");
    if (e.behaviour == EcuBehaviour::kKwp) {
      e.identification.emplace(0x8C, serial);
    } else {
      e.dataIds.emplace(0xF18C, serial);
    }
  }
  e.pids = IdMap(v, "pids", where);
  if (v.contains("key_bytes")) {
    e.keyBytes = ByteString(v["key_bytes"], where + ".key_bytes");
    if (e.keyBytes.size() != 2) Fail(where + ".key_bytes", "expected two key bytes");
  }
  if (v.contains("dtcs")) {
    const json& ds = v["dtcs"];
    if (!ds.is_array()) Fail(where + ".dtcs", "expected an array, found " + TypeName(ds));
    for (size_t i = 0; i < ds.size(); ++i) {
      e.dtcs.push_back(ParseDtc(ds[i], where + ".dtcs[" + std::to_string(i) + "]"));
    }
  }
  if (v.contains("routines")) {
    const json& rs = v["routines"];
    Object(rs, where + ".routines");
    for (const auto& [k, r] : rs.items()) {
      std::string w = where + ".routines." + k;
      Object(r, w);
      Keys(r, w, {"pending", "pending_interval_ms", "result"});
      Routine routine;
      routine.pending = NumberOr(r, "pending", 0, w);
      routine.pendingIntervalMs = NumberOr(r, "pending_interval_ms", 500, w);
      if (r.contains("result")) routine.result = ByteString(r["result"], w + ".result");
      e.routines[HexKey(k, w)] = routine;
    }
  }
  if (v.contains("requests")) {
    const json& rs = v["requests"];
    if (!rs.is_array()) Fail(where + ".requests", "expected an array, found " + TypeName(rs));
    for (size_t i = 0; i < rs.size(); ++i) {
      e.rules.push_back(ParseRule(rs[i], where + ".requests[" + std::to_string(i) + "]"));
    }
  }
  return e;
}

// A raw CAN identifier word: 11 bits, or 29 with the extended flag; the
// remote flag may be set, bit 29 never.
void CheckCanId(uint32_t id, const std::string& where) {
  const uint32_t bare = id & ~(kCanExtendedFlag | kCanRemoteFlag);
  if ((id & 0x20000000u) != 0) Fail(where, "bit 29 is not part of an identifier word");
  if ((id & kCanExtendedFlag) == 0 && bare > 0x7FF) {
    Fail(where, "an 11-bit identifier is at most 0x7FF (set bit 31, 0x80000000, for a 29-bit one)");
  }
}

// Background traffic sources. A period of 1 ms is the fastest the VCI's
// clock can tell apart; a burst of more than 64 frames would be a bus
// running flat out, not a vehicle.
constexpr uint32_t kMaxPeriodMs = 60000;
constexpr uint32_t kMaxBurst = 64;

TrafficSource ParseTraffic(const json& v, const std::string& where) {
  Object(v, where);
  Keys(v, where, {"name", "family", "id", "data", "period_ms", "burst", "start_ms", "counter"});
  TrafficSource t;
  t.name = Text(v, "name", "traffic", where);
  static const std::map<std::string, TrafficFamily> kFamilies{{"raw_can", TrafficFamily::kRawCan}};
  t.family = Choice(v, "family", kFamilies, std::string("raw_can"), where);
  if (!v.contains("id")) Fail(where + ".id", "missing (the frame's identifier word)");
  t.id = Number(v["id"], where + ".id");
  CheckCanId(t.id, where + ".id");
  if (v.contains("data")) t.data = ByteString(v["data"], where + ".data");
  if (t.data.size() > 8) Fail(where + ".data", "at most 8 bytes in a CAN frame");
  if (!v.contains("period_ms")) Fail(where + ".period_ms", "missing (how often the frame is sent, 1 ms or more)");
  t.periodMs = Number(v["period_ms"], where + ".period_ms");
  if (t.periodMs < 1 || t.periodMs > kMaxPeriodMs) Fail(where + ".period_ms", "expected 1 to 60000 ms");
  t.burst = NumberOr(v, "burst", 1, where);
  if (t.burst < 1 || t.burst > kMaxBurst) Fail(where + ".burst", "expected 1 to 64 frames");
  t.startMs = NumberOr(v, "start_ms", 0, where);
  t.counter = Flag(v, "counter", false, where);
  if (t.counter && t.data.empty()) Fail(where + ".counter", "needs at least one data byte to count in");
  return t;
}

}  // namespace

uint32_t KeyFromSeed(uint32_t seed) {
  return ((seed << 3) | (seed >> 29)) ^ 0x5AA5C33Cu;
}

std::optional<Scenario> ParseScenario(const std::string& jsonText, std::string& error) {
  try {
    json root;
    try {
      root = json::parse(jsonText);
    } catch (const json::parse_error& e) {
      // Say where, in the file's own terms; the library's text is not for
      // users.
      size_t line = 1, column = 1;
      for (size_t i = 0; i + 1 < e.byte && i < jsonText.size(); ++i) {
        if (jsonText[i] == '\n') {
          ++line;
          column = 1;
        } else {
          ++column;
        }
      }
      Fail("$", "not valid JSON (line " + std::to_string(line) + ", column " + std::to_string(column) + ")");
    }
    Object(root, "$");
    Keys(root, "$", {"name", "description", "vci", "ecus", "traffic", "sessions"});
    Scenario s;
    s.name = Text(root, "name", "unnamed", "$");
    s.description = Text(root, "description", "", "$");
    if (root.contains("vci")) {
      const json& vci = root["vci"];
      Object(vci, "$.vci");
      Keys(vci, "$.vci", {"battery_mv", "ignition", "firmware"});
      s.vci.batteryMv = NumberOr(vci, "battery_mv", s.vci.batteryMv, "$.vci");
      s.vci.ignition = NumberOr(vci, "ignition", s.vci.ignition, "$.vci");
      s.vci.firmware = NumberOr(vci, "firmware", s.vci.firmware, "$.vci");
    }
    if (!root.contains("ecus")) Fail("$.ecus", "missing (an array of ECUs)");
    if (!root["ecus"].is_array()) Fail("$.ecus", "expected an array, found " + TypeName(root["ecus"]));
    // Sessions belong to the end-to-end tests; only their shape is checked.
    if (root.contains("sessions") && !root["sessions"].is_array()) {
      Fail("$.sessions", "expected an array, found " + TypeName(root["sessions"]));
    }
    const json& ecus = root["ecus"];
    for (size_t i = 0; i < ecus.size(); ++i) {
      s.ecus.push_back(ParseEcu(ecus[i], "$.ecus[" + std::to_string(i) + "]"));
    }
    if (root.contains("traffic")) {
      const json& ts = root["traffic"];
      if (!ts.is_array()) Fail("$.traffic", "expected an array, found " + TypeName(ts));
      for (size_t i = 0; i < ts.size(); ++i) {
        s.traffic.push_back(ParseTraffic(ts[i], "$.traffic[" + std::to_string(i) + "]"));
      }
    }
    return s;
  } catch (const ScenarioError& e) {
    error = e.what();
  } catch (const json::exception&) {
    // Every access is checked before it is made; should one slip through,
    // still no library text reaches the user.
    error = "$: unreadable scenario";
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
