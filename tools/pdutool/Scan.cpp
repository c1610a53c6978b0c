// pdutool scan: which ECUs answer on a resource.
//
// ISO 15765 (a resource whose module description has CP_CanPhysReqId):
// one functional request (tester present, 3E 00, on CP_CanFuncReqId 0x7DF
// with a unique response entry per answer identifier 0x7E8..0x7EF, so that
// each answer names its ECU), then each physical request identifier of the
// range (default 0x7E0..0x7E7, answers on id + 8) on a link of its own.
// K-line and the other address-based resources: a link per target address
// of the range (CP_PhysReqTargetAddr; STARTCOMM does the address's
// initialisation), which the user gives with --range.
//
// An ECU that answers is asked for its VIN and part number (UDS 22 F190 /
// 22 F187; KWP2000 1A 90 / 1A 9B); a negative answer just means it does
// not offer it.
#include <cstdio>
#include <string>
#include <vector>

#include "Commands.h"
#include "ModuleDescription.h"
#include "Names.h"
#include "Numbers.h"
#include "Signals.h"

namespace pdutool {

using nlohmann::json;

namespace {

std::string HexId(uint32_t v) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "0x%X", v);
  return buf;
}

// Printable text of an identification answer after its n header bytes.
std::string TextAfter(const std::vector<uint8_t>& a, size_t n) {
  std::string s;
  for (size_t i = n; i < a.size(); ++i) {
    if (a[i] >= 0x20 && a[i] < 0x7F) s += static_cast<char>(a[i]);
  }
  return s;
}

class Scanner {
 public:
  Scanner(Client& c, json& doc, const ScanOptions& o) : c_(c), doc_(doc), o_(o) {}

  int Run();

 private:
  // A link with these settings, connected and started; 0 when it failed.
  UNUM32 OpenLink(const std::vector<std::pair<std::string, std::string>>& params,
                  const std::vector<std::vector<std::pair<std::string, std::string>>>& unique, bool& started);
  void CloseLink(UNUM32 hCLL, bool started);
  // The non-pending answers of one request (empty: none).
  std::vector<json> Ask(UNUM32 hCLL, const std::vector<uint8_t>& request, int32_t cycles);
  void Identify(UNUM32 hCLL, json& ecu);
  void Progress(const std::string& what, size_t n, size_t of);

  Client& c_;
  json& doc_;
  const ScanOptions& o_;
  UNUM32 resourceId_ = 0;
  bool can_ = true;
};

void Scanner::Progress(const std::string& what, size_t n, size_t of) {
  // One line a step on stderr, so that stdout keeps only the findings.
  if (!o_.quietProgress) std::fprintf(stderr, "scan: %s (%zu/%zu)\n", what.c_str(), n, of);
}

UNUM32 Scanner::OpenLink(const std::vector<std::pair<std::string, std::string>>& params,
                         const std::vector<std::vector<std::pair<std::string, std::string>>>& unique, bool& started) {
  const PduFunctions& fn = c_.Fn();
  UNUM32 hCLL = PDU_HANDLE_UNDEF;
  PDU_FLAG_DATA noFlags{0, nullptr};
  started = false;
  if (!c_.Check("PDUCreateComLogicalLink",
                Invoke(fn.PDUCreateComLogicalLink, c_.hMod(), nullptr, resourceId_, nullptr, &hCLL, &noFlags))) {
    return 0;
  }
  c_.RegisterCallback(hCLL, true);
  if (SetupLink(c_, doc_, hCLL, unique, params) != kExitOk ||
      !c_.Check("PDUConnect", Invoke(fn.PDUConnect, c_.hMod(), hCLL))) {
    CloseLink(hCLL, false);
    return 0;
  }
  c_.CollectLinkEvents(hCLL, 500);
  json prim = c_.RunPrimitive(hCLL, PDU_COPT_STARTCOMM, {}, 1);
  started = prim["status"] == "FINISHED";
  return hCLL;
}

void Scanner::CloseLink(UNUM32 hCLL, bool started) {
  const PduFunctions& fn = c_.Fn();
  if (started) c_.RunPrimitive(hCLL, PDU_COPT_STOPCOMM, {}, 1, true);
  Invoke(fn.PDUDisconnect, c_.hMod(), hCLL);
  c_.CollectLinkEvents(hCLL, 200);
  c_.RegisterCallback(hCLL, false);
  Invoke(fn.PDUDestroyComLogicalLink, c_.hMod(), hCLL);
}

std::vector<json> Scanner::Ask(UNUM32 hCLL, const std::vector<uint8_t>& request, int32_t cycles) {
  json prim = c_.RunPrimitive(hCLL, PDU_COPT_SENDRECV, request, cycles);
  std::vector<json> out;
  for (const json& r : prim["results"]) {
    auto bytes = ParseHexText(r["data"].get<std::string>());
    if (bytes.size() == 3 && bytes[0] == 0x7F && bytes[2] == 0x78) continue;  // response pending
    out.push_back(r);
  }
  return out;
}

void Scanner::Identify(UNUM32 hCLL, json& ecu) {
  struct Question {
    const char* field;
    std::vector<uint8_t> request;
    size_t header;  // bytes before the text in a positive answer
  };
  const std::vector<Question> questions =
      can_ ? std::vector<Question>{{"vin", {0x22, 0xF1, 0x90}, 3}, {"partNumber", {0x22, 0xF1, 0x87}, 3}}
           : std::vector<Question>{{"vin", {0x1A, 0x90}, 2}, {"partNumber", {0x1A, 0x9B}, 2}};
  for (const Question& q : questions) {
    for (const json& r : Ask(hCLL, q.request, 1)) {
      auto bytes = ParseHexText(r["data"].get<std::string>());
      if (!bytes.empty() && bytes[0] == q.request[0] + 0x40) ecu[q.field] = TextAfter(bytes, q.header);
    }
  }
}

int Scanner::Run() {
  doc_["command"] = "scan";
  doc_["primitives"] = json::array();
  doc_["linkEvents"] = json::array();
  doc_["ecus"] = json::array();
  if (auto id = ParseUnsigned(o_.resource)) {
    resourceId_ = static_cast<UNUM32>(*id);
  } else {
    resourceId_ = c_.ObjectId(PDU_OBJT_RESOURCE, o_.resource);
  }
  if (resourceId_ == PDU_ID_UNDEF) {
    c_.SetError("the module knows no resource " + o_.resource);
    return kExitCallFailed;
  }
  can_ = o_.can;
  uint32_t first = o_.first;
  uint32_t last = o_.last;
  const size_t steps = (last - first + 1) + (can_ ? 1 : 0);
  size_t step = 0;
  json& ecus = doc_["ecus"];
  std::vector<uint32_t> answeredFunctional;

  if (can_) {
    // Functional: who answers tester present on 0x7DF.
    Progress("functional request on " + HexId(o_.functionalId), ++step, steps);
    std::vector<std::vector<std::pair<std::string, std::string>>> unique;
    for (uint32_t id = first; id <= last; ++id) {
      unique.push_back({{"CP_CanPhysReqId", std::to_string(id)}, {"CP_CanRespUSDTId", std::to_string(id + 8)}});
    }
    bool started = false;
    UNUM32 hCLL = OpenLink({{"CP_RequestAddrMode", "2"}, {"CP_CanFuncReqId", std::to_string(o_.functionalId)}},
                           unique, started);
    if (hCLL != 0) {
      for (const json& r : Ask(hCLL, {0x3E, 0x00}, -1)) {
        const uint32_t uid = r["uniqueRespId"];
        if (uid >= 1 && uid <= last - first + 1) answeredFunctional.push_back(first + uid - 1);
      }
      CloseLink(hCLL, started);
    }
  }
  for (uint32_t addr = first; addr <= last && !StopRequested(); ++addr) {
    Progress(std::string(can_ ? "request id " : "address ") + HexId(addr), ++step, steps);
    std::vector<std::pair<std::string, std::string>> params;
    std::vector<std::vector<std::pair<std::string, std::string>>> unique;
    if (can_) {
      params = {{"CP_CanPhysReqId", std::to_string(addr)}};
      unique = {{{"CP_CanPhysReqId", std::to_string(addr)}, {"CP_CanRespUSDTId", std::to_string(addr + 8)}}};
    } else {
      params = {{"CP_PhysReqTargetAddr", std::to_string(addr)}};
    }
    bool started = false;
    UNUM32 hCLL = OpenLink(params, unique, started);
    if (hCLL == 0) continue;
    std::vector<json> answers = can_ ? Ask(hCLL, {0x3E, 0x00}, 1) : std::vector<json>{};
    const bool present = can_ ? !answers.empty() : started;
    if (present) {
      json ecu = {{can_ ? "requestId" : "address", HexId(addr)}};
      if (can_) {
        ecu["responseId"] = HexId(addr + 8);
        bool functional = false;
        for (uint32_t f : answeredFunctional) functional = functional || f == addr;
        ecu["functional"] = functional;
      }
      Identify(hCLL, ecu);
      ecus.push_back(ecu);
    }
    CloseLink(hCLL, started);
  }
  return kExitOk;
}

}  // namespace

int RunScan(Client& client, json& doc, const ScanOptions& options) {
  if (!client.Open()) {
    client.Close();
    doc["ok"] = false;
    return kExitCallFailed;
  }
  client.SetQuiet(true);
  Scanner scanner(client, doc, options);
  int rc = scanner.Run();
  client.SetQuiet(false);
  client.Close();
  const json& ecus = doc["ecus"];
  client.Say("%zu ECU(s) answered on %s", ecus.size(), options.resource.c_str());
  for (const json& e : ecus) {
    std::string line = e.contains("requestId")
                           ? "  " + e["requestId"].get<std::string>() + " -> " + e["responseId"].get<std::string>() +
                                 (e["functional"].get<bool>() ? "  (answers 0x7DF too)" : "")
                           : "  address " + e["address"].get<std::string>();
    if (e.contains("vin")) line += "  VIN " + e["vin"].get<std::string>();
    if (e.contains("partNumber")) line += "  part number " + e["partNumber"].get<std::string>();
    client.Say("%s", line.c_str());
  }
  doc["ok"] = rc == kExitOk && !client.Failed();
  return rc == kExitOk && client.Failed() ? kExitCallFailed : rc;
}

}  // namespace pdutool
