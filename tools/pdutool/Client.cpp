#include "Client.h"

#include <cctype>
#include <condition_variable>
#include <cstdarg>
#include <cstdio>
#include <ctime>
#include <mutex>
#include <thread>

#include "Doctor.h"
#include "Names.h"
#include "Signals.h"
#include "VciPort.h"

namespace pdutool {

using nlohmann::json;

namespace {

// The callback's only job: wake the main thread.
std::mutex g_eventMutex;
std::condition_variable g_eventCv;
bool g_eventPending = false;

void PDU_CALL OnEvent(T_PDU_EVT_DATA, UNUM32, UNUM32, void*, void*) {
  {
    std::lock_guard<std::mutex> lock(g_eventMutex);
    g_eventPending = true;
  }
  g_eventCv.notify_one();
}

}  // namespace

void WakeEventWaiters() {
  {
    std::lock_guard<std::mutex> lock(g_eventMutex);
    g_eventPending = true;
  }
  g_eventCv.notify_all();
}

namespace {

// The error item of a lost VCI (PDU_ERR_EVT_LOST_COMM_TO_VCI).
constexpr UNUM32 kErrLostCommToVci = 0x106;
// The error item of a request that got no answer in time (PDU_ERR_EVT_RX_TIMEOUT).
constexpr UNUM32 kErrRxTimeout = 0x103;

// How often --poll asks for events.
constexpr auto kPollInterval = std::chrono::milliseconds(5);

std::string Printable(const uint8_t* data, size_t n) {
  std::string s;
  for (size_t i = 0; i < n; ++i) s.push_back(std::isprint(data[i]) ? static_cast<char>(data[i]) : '.');
  return s;
}

// "P0301" from the two bytes of an SAE J2012 code.
std::string DtcText(uint8_t hi, uint8_t lo) {
  static const char kLetters[] = "PCBU";
  const unsigned code = static_cast<unsigned>(hi) << 8 | lo;
  char buf[8];
  std::snprintf(buf, sizeof buf, "%c%X%03X", kLetters[code >> 14], (code >> 12) & 3, code & 0xFFF);
  return buf;
}

// A readable line for the answers every diagnostic user knows: the VIN,
// the ECU's serial number, trouble codes. Empty for anything else.
std::string Explain(const uint8_t* d, size_t n) {
  // As the RESULT line's text: an unprogrammed VIN is FF bytes, and raw
  // bytes would be no UTF-8 for the JSON document nor text for a terminal.
  auto text = [&](size_t from) { return Printable(d + from, n - from); };
  if (n > 3 && d[0] == 0x62 && d[1] == 0xF1 && d[2] == 0x90) return "VIN " + text(3);
  if (n > 2 && d[0] == 0x5A && d[1] == 0x90) return "VIN " + text(2);
  if (n > 3 && d[0] == 0x62 && d[1] == 0xF1 && d[2] == 0x8C) return "ECU serial number " + text(3);
  std::string list;
  auto add = [&](uint8_t hi, uint8_t lo, uint8_t status) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%s%s (status 0x%02X)", list.empty() ? "" : ", ", DtcText(hi, lo).c_str(), status);
    list += buf;
  };
  if (n >= 3 && d[0] == 0x59 && d[1] == 0x02 && (n - 3) % 4 == 0) {  // UDS: code, failure type, status
    for (size_t i = 3; i + 3 < n; i += 4) add(d[i], d[i + 1], d[i + 3]);
    return list.empty() ? "no DTCs" : "DTCs " + list;
  }
  if (n >= 2 && d[0] == 0x58 && n == 2 + 3u * d[1]) {  // KWP2000: code, status
    for (size_t i = 2; i + 2 < n; i += 3) add(d[i], d[i + 1], d[i + 2]);
    return list.empty() ? "no DTCs" : "DTCs " + list;
  }
  return "";
}

}  // namespace


Client::Client(PduLibrary& lib, ClientOptions options, json& doc) : lib_(lib), options_(options), doc_(doc) {
  doc_["failures"] = json::array();
  if (!options_.traceFile.empty()) {
    std::string error;
    if (trace_.Open(options_.traceFile, error)) {
      doc_["trace"] = options_.traceFile;
    } else {
      SetError(error);
    }
  }
}

bool Client::ComParamValue(UNUM32 hCLL, const char* name, uint32_t& value) {
  const UNUM32 id = ObjectId(PDU_OBJT_COMPARAM, name);
  if (id == PDU_ID_UNDEF) return false;
  PDU_PARAM_ITEM* item = nullptr;
  if (Invoke(Fn().PDUGetComParam, hMod_, hCLL, id, &item) != PDU_STATUS_NOERROR || item == nullptr) return false;
  bool ok = item->pComParamData != nullptr && item->ComParamDataType == PDU_PT_UNUM32;
  if (ok) value = *static_cast<const UNUM32*>(item->pComParamData);
  Invoke(Fn().PDUDestroyItem, reinterpret_cast<PDU_ITEM*>(item));
  return ok;
}

std::pair<uint32_t, uint32_t> Client::TraceIds(UNUM32 hCLL) {
  auto known = traceIds_.find(hCLL);
  if (known != traceIds_.end()) return known->second;
  std::pair<uint32_t, uint32_t> ids{0x000, 0x001};
  uint32_t v = 0;
  if (ComParamValue(hCLL, "CP_CanPhysReqId", v)) ids.first = v;
  if (ComParamValue(hCLL, "CP_CanRespUSDTId", v)) ids.second = v;
  traceIds_[hCLL] = ids;
  return ids;
}

void Client::TraceData(UNUM32 hCLL, const std::vector<uint8_t>& data, bool transmit, double stamp) {
  if (!trace_.IsOpen()) return;
  const std::string channel = "link" + std::to_string(hCLL);
  CanFrame frame;
  if (IsRawLink(hCLL)) {
    if (DecodeRawFrame(data.data(), data.size(), frame)) trace_.WriteFrame(channel, frame, transmit, stamp);
    return;
  }
  const auto ids = TraceIds(hCLL);
  trace_.WriteMessage(channel, transmit ? ids.first : ids.second, data, transmit, stamp);
}

void Client::Say(const char* format, ...) {
  if (options_.json || quiet_) return;
  va_list args;
  va_start(args, format);
  std::vfprintf(stdout, format, args);
  va_end(args);
  std::fputc('\n', stdout);
  std::fflush(stdout);
}

bool Client::Check(const char* call, T_PDU_ERROR status) {
  if (status == PDU_STATUS_NOERROR) return true;
  std::string name = StatusName(status);
  for (const std::string& m : lib_.Missing()) {
    if (m == call) name += ", the library does not export " + m;
  }
  doc_["failures"].push_back({{"call", call}, {"status", name}, {"code", status}});
  std::fprintf(stderr, "pdutool: %s failed: %s (0x%X)\n", call, name.c_str(), status);
  if (!doc_.contains("error")) doc_["error"] = std::string(call) + " failed: " + name;
  return false;
}

void Client::SetError(const std::string& text) {
  if (!doc_.contains("error")) doc_["error"] = text;
  std::fprintf(stderr, "pdutool: %s\n", text.c_str());
}

bool Client::Open() {
  const PduFunctions& fn = Fn();
  if (!lib_.Missing().empty()) doc_["missingFunctions"] = lib_.Missing();
  char options[] = "";
  DiscoveryWatch watch(doc_.value("library", ""));  // one stderr line per port tried
  if (!Check("PDUConstruct", Invoke(fn.PDUConstruct, options, nullptr))) return false;
  constructed_ = true;
  if (watch.FinishedWithoutVci()) return ReportNoVci();

  PDU_MODULE_ITEM* modules = nullptr;
  if (Check("PDUGetModuleIds", Invoke(fn.PDUGetModuleIds, &modules)) && modules != nullptr) {
    json list = json::array();
    for (UNUM32 i = 0; i < modules->NumEntries && modules->pModuleData != nullptr; ++i) {
      const PDU_MODULE_DATA& m = modules->pModuleData[i];
      list.push_back({{"hMod", m.hMod},
                      {"moduleTypeId", m.ModuleTypeId},
                      {"vendorModuleName", m.pVendorModuleName ? m.pVendorModuleName : ""},
                      {"vendorAdditionalInfo", m.pVendorAdditionalInfo ? m.pVendorAdditionalInfo : ""},
                      {"status", StatusValueName(m.ModuleStatus)}});
      if (i == 0) hMod_ = m.hMod;
    }
    doc_["modules"] = list;
    Invoke(fn.PDUDestroyItem, reinterpret_cast<PDU_ITEM*>(modules));
  }
  doc_["hMod"] = hMod_;
  // Named now: once the VCI is lost the module may have closed the port.
  vciPort_ = VciPortName();
  // A failed module connect is reported but does not end the run: the
  // module may still answer everything else.
  Check("PDUModuleConnect", Invoke(fn.PDUModuleConnect, hMod_));
  return true;
}

bool Client::ReportNoVci() {
  // Nothing can answer: say why at once instead of waiting for events.
  // On stderr: stdout is the command's output.
  if (!options_.json) std::fprintf(stderr, "pdutool: the module found no VCI; what pdutool doctor sees:\n");
  json findings = json::object();
  DoctorCheck(findings, options_.json ? nullptr : stderr);
  doc_["doctor"] = findings;
  // A port another program holds is the likely VCI: name it and its holder
  // rather than asking to connect a VCI that is connected.
  for (const json& port : findings.value("ports", json::array())) {
    if (port.value("state", "") == "busy") {
      SetError("no VCI found: " + port.value("port", "") + " is " + port.value("text", "busy"));
      return false;
    }
  }
  SetError("no VCI found (PDUConstruct tried every port; see pdutool doctor and docs/hardware.md)");
  return false;
}

void Client::Close() {
  if (!constructed_) return;
  const T_PDU_ERROR disconnect = Invoke(Fn().PDUModuleDisconnect, hMod_);
  CheckIoCtlStatus(disconnect);
  Check("PDUModuleDisconnect", disconnect);
  T_PDU_ERROR status = Invoke(Fn().PDUDestruct);
  if (status == PDU_ERR_COMM_PC_TO_VCI_FAILED) {
    // PDUDestruct tells this when there was no VCI to close.
    Check("PDUDestruct", status);
    SetError("the VCI was not reachable (PDUDestruct: PDU_ERR_COMM_PC_TO_VCI_FAILED)");
  } else {
    Check("PDUDestruct", status);
  }
  constructed_ = false;
}

UNUM32 Client::ObjectId(T_PDU_OBJT type, const std::string& name) {
  UNUM32 id = PDU_ID_UNDEF;
  std::string copy = name;
  T_PDU_ERROR status = Invoke(Fn().PDUGetObjectId, type, copy.data(), &id);
  if (status != PDU_STATUS_NOERROR) return PDU_ID_UNDEF;
  return id;
}

void Client::RegisterCallback(UNUM32 hCLL, bool on) {
  // Also in --poll mode: a library may drop the events of a link that has
  // no callback (this module does, at each notification), and then there
  // is nothing left to poll.
  Check("PDURegisterEventCallback", Invoke(Fn().PDURegisterEventCallback, hMod_, hCLL, on ? OnEvent : nullptr));
}

void Client::WaitForEvents(Clock::time_point deadline, bool onStop, bool onInterrupt) {
  if (options_.poll) {
    auto next = Clock::now() + kPollInterval;
    std::this_thread::sleep_until(next < deadline ? next : deadline);
    return;
  }
  std::unique_lock<std::mutex> lock(g_eventMutex);
  g_eventCv.wait_until(lock, deadline, [onStop, onInterrupt] {
    return g_eventPending || (onStop && StopRequested()) || (onInterrupt && InterruptPending());
  });
  g_eventPending = false;
}

std::string Client::TimeText(long sinceStartMs) const {
  char buf[64];
  if (!options_.timeAbs) {
    std::snprintf(buf, sizeof buf, "+%5ld ms", sinceStartMs);
    return buf;
  }
  // The item was fetched now; t_ms is for the JSON and the relative form.
  const auto now = std::chrono::system_clock::now();
  const std::time_t secs = std::chrono::system_clock::to_time_t(now);
  const long ms = static_cast<long>(
      std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000);
  // Only the main thread formats times, so the shared buffer of
  // std::localtime is safe here (and needs no OS-specific variant).
  const std::tm local = *std::localtime(&secs);
  char hms[16];
  std::strftime(hms, sizeof hms, "%H:%M:%S", &local);
  std::snprintf(buf, sizeof buf, "%s.%03ld", hms, ms);
  return buf;
}

void Client::PrintItem(const json& ev) {
  const std::string item = ev["item"];
  const std::string t = TimeText(ev.value("t_ms", 0L));
  if (item == "RESULT") {
    std::string line = ev["data"].get<std::string>();
    if (ev.contains("negative")) {
      line += "   negative: " + ev["negative"]["name"].get<std::string>();
    } else if (ev.contains("text")) {
      line += "   \"" + ev["text"].get<std::string>() + "\"";
    }
    Say("    %s  RESULT  uid %-3u %s", t.c_str(), ev["uniqueRespId"].get<unsigned>(), line.c_str());
    if (ev.contains("decoded")) Say("                      = %s", ev["decoded"].get<std::string>().c_str());
  } else if (item == "ERROR") {
    Say("    %s  ERROR   %s (extra info %u)", t.c_str(), ev["name"].get<std::string>().c_str(),
        ev["extra"].get<unsigned>());
  } else if (item == "STATUS") {
    Say("    %s  STATUS  %s", t.c_str(), ev["status"].get<std::string>().c_str());
  } else {
    Say("    %s  %s", t.c_str(), item.c_str());
  }
}

bool Client::Drain(UNUM32 hCLL, UNUM32 hCoP, json* prim, Clock::time_point start) {
  bool finished = false;
  for (;;) {
    PDU_EVENT_ITEM* item = nullptr;
    T_PDU_ERROR status = Invoke(Fn().PDUGetEventItem, hMod_, hCLL, &item);
    if (status == PDU_ERR_EVENT_QUEUE_EMPTY) break;
    if (!Check("PDUGetEventItem", status) || item == nullptr) break;
    const double stamp = StampNow();
    long t = static_cast<long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
    json ev = {{"item", ItemTypeName(item->ItemType).substr(7)},  // without "PDU_IT_"
               {"hCoP", item->hCop},
               {"timestamp", item->Timestamp},
               {"t_ms", t}};
    if (item->ItemType == PDU_IT_STATUS && item->pData != nullptr) {
      UNUM32 value = *static_cast<UNUM32*>(item->pData);
      ev["status"] = StatusValueName(value);
      if (item->hCop == hCoP && value == PDU_COPST_FINISHED) finished = true;
      if (value == PDU_CLLST_OFFLINE || value == PDU_CLLST_ONLINE || value == PDU_CLLST_COMM_STARTED)
        linkStatus_[hCLL] = value;
    } else if (item->ItemType == PDU_IT_RESULT && item->pData != nullptr) {
      const auto* r = static_cast<const PDU_RESULT_DATA*>(item->pData);
      const uint8_t* d = r->pDataBytes;
      const size_t n = d != nullptr ? r->NumDataBytes : 0;
      ev["data"] = Hex(d, n);
      ev["uniqueRespId"] = r->UniqueRespIdentifier;
      if (r->RxFlag.NumFlagBytes > 0 && r->RxFlag.pFlagData != nullptr) {
        ev["rxFlags"] = Hex(r->RxFlag.pFlagData, r->RxFlag.NumFlagBytes);
      }
      if (n >= 3 && d[0] == 0x7F) {
        char sid[8];
        std::snprintf(sid, sizeof sid, "0x%02X", d[1]);
        ev["negative"] = {{"service", sid}, {"code", d[2]}, {"name", NegativeResponseName(d[2])}};
      } else if (n > 0) {
        ev["text"] = Printable(d, n);
        std::string decoded = Explain(d, n);
        if (!decoded.empty()) ev["decoded"] = decoded;
      }
    } else if (item->ItemType == PDU_IT_ERROR && item->pData != nullptr) {
      const auto* e = static_cast<const PDU_ERROR_DATA*>(item->pData);
      ev["code"] = e->ErrorCodeId;
      ev["name"] = ErrorEventName(e->ErrorCodeId);
      ev["extra"] = e->ExtraErrorInfoId;
      if (e->ErrorCodeId == kErrLostCommToVci) {
        NoteVciLost(e->ExtraErrorInfoId != 0 ? SystemErrorText(e->ExtraErrorInfoId) : "the port failed");
      }
    }
    Invoke(Fn().PDUDestroyItem, reinterpret_cast<PDU_ITEM*>(item));

    const UNUM32 itemCop = ev["hCoP"];
    if (itemCop != PDU_HANDLE_UNDEF && abandoned_.count(itemCop) != 0) {
      // A late item of a request the user cancelled at the shell: it still
      // runs in the library until its own end.
      doc_["abandoned"].push_back(ev);
      std::string what = ev["item"];
      if (ev.contains("status")) what = ev["status"];
      if (ev.contains("data")) what += " " + ev["data"].get<std::string>();
      if (ev.contains("name")) what += " " + ev["name"].get<std::string>();
      Say("  abandoned request (hCoP %u): %s", itemCop, what.c_str());
      if (ev.value("status", "") == "PDU_COPST_FINISHED" || ev.value("status", "") == "PDU_COPST_CANCELLED") {
        abandoned_.erase(itemCop);
      }
      continue;
    }
    if (ev["hCoP"] == PDU_HANDLE_UNDEF || prim == nullptr || ev["hCoP"] != hCoP) {
      // A link status item, or an item of a ComPrimitive no longer waited
      // for (a cleanup STOPCOMM that did not finish in time): named as that
      // ComPrimitive's, never as the link's state.
      json le = {{"status", ev.value("status", ev["item"].get<std::string>())}, {"hCoP", ev["hCoP"]}};
      doc_["linkEvents"].push_back(le);
      auto type = copTypes_.find(itemCop);
      if (itemCop != PDU_HANDLE_UNDEF && type != copTypes_.end()) {
        Say("  %s (hCoP %u): %s", type->second.c_str(), itemCop, le["status"].get<std::string>().c_str());
      } else {
        Say("  link: %s", le["status"].get<std::string>().c_str());
      }
      continue;
    }
    (*prim)["events"].push_back(ev);
    PrintItem(ev);
    if (ev["item"] == "RESULT") {
      TraceData(hCLL, ParseHexText(ev["data"].get<std::string>()), false, stamp);
      json res = {{"data", ev["data"]}, {"uniqueRespId", ev["uniqueRespId"]}, {"t_ms", t}};
      if (ev.contains("negative")) res["negative"] = ev["negative"];
      if (ev.contains("decoded")) res["decoded"] = ev["decoded"];
      (*prim)["results"].push_back(res);
    } else if (ev["item"] == "ERROR") {
      (*prim)["errors"].push_back({{"code", ev["code"]}, {"name", ev["name"]}, {"extra", ev["extra"]}});
    }
  }
  return finished;
}

json Client::RunPrimitive(UNUM32 hCLL, T_PDU_COPT type, const std::vector<uint8_t>& request,
                          int32_t receiveCycles, bool cleanup) {
  json prim = {{"type", CopTypeName(type).substr(9)},  // without "PDU_COPT_"
               {"request", Hex(request.data(), request.size())},
               {"results", json::array()},
               {"errors", json::array()},
               {"events", json::array()}};
  Say("  %-9s %s", prim["type"].get<std::string>().c_str(), prim["request"].get<std::string>().c_str());

  PDU_COP_CTRL_DATA ctrl{};
  ctrl.NumSendCycles = 1;
  ctrl.NumReceiveCycles = receiveCycles;
  std::vector<uint8_t> data = request;
  UNUM32 hCoP = PDU_HANDLE_UNDEF;
  const auto start = Clock::now();
  T_PDU_ERROR status = Invoke(Fn().PDUStartComPrimitive, hMod_, hCLL, type, static_cast<UNUM32>(data.size()),
                              data.empty() ? nullptr : data.data(), &ctrl, nullptr, &hCoP);
  prim["hCoP"] = hCoP;
  if (status == PDU_STATUS_NOERROR) copTypes_[hCoP] = prim["type"].get<std::string>();
  if (status == PDU_STATUS_NOERROR && type == PDU_COPT_SENDRECV) {
    TraceData(hCLL, request, true, StampNow());
    if (IsRawLink(hCLL) && !windowOpened_.insert(hCLL).second) {
      ++windowGaps_;
      doc_["windowGaps"] = windowGaps_;
    }
  }
  if (!Check("PDUStartComPrimitive", status)) {
    prim["status"] = "ERROR";
    doc_["primitives"].push_back(prim);
    return prim;
  }

  // 6 s: a cancelled request may keep the link busy for P2* (5 s by
  // default) before the library runs the STOPCOMM behind it.
  const uint32_t waitMs = cleanup && options_.waitMs > 6000 ? 6000 : options_.waitMs;
  const auto deadline = start + std::chrono::milliseconds(waitMs);
  bool finished = false;
  bool cancelled = false;
  bool interrupted = false;
  PollPacer pacer;
  size_t seen = 0;
  while (!finished) {
    finished = Drain(hCLL, hCoP, &prim, start);
    if (finished || Clock::now() >= deadline) break;
    if (!cleanup && (StopRequested() || TakeInterrupt())) {
      cancelled = true;
      interrupted = !StopRequested();
      Check("PDUCancelComPrimitive", Invoke(Fn().PDUCancelComPrimitive, hMod_, hCLL, hCoP));
      break;
    }
    const bool found = prim["events"].size() != seen;
    seen = prim["events"].size();
    const auto next = Clock::now() + pacer.Next(found);
    WaitForEvents(next < deadline ? next : deadline, !cleanup, !cleanup);
  }
  prim["elapsed_ms"] = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
  // The answer that counts: the last result that is not "response
  // pending" (7F xx 78), which only promises one.
  bool answered = false;
  for (const auto& r : prim["results"]) {
    auto bytes = ParseHexText(r["data"].get<std::string>());
    if (bytes.size() == 3 && bytes[0] == 0x7F && bytes[2] == 0x78) continue;
    if (type == PDU_COPT_SENDRECV) lastAnswer_ = bytes;
    answered = true;
  }
  if (type == PDU_COPT_SENDRECV && !answered) lastAnswer_.clear();
  if (cancelled) {
    prim["status"] = "CANCELLED";
    if (interrupted) {
      // The library may go on with it until its own end (a cancel may
      // only be noted); what still comes is labelled, not mixed in.
      abandoned_.insert(hCoP);
      Say("    cancelled (Ctrl-C); its late items are shown as abandoned");
    } else {
      Say("    cancelled");
    }
  } else if (!finished) {
    prim["status"] = "TIMEOUT";
    // Not cancelled: the library still runs it, and its FINISHED may come
    // during the next command; labelled, not taken for a link item.
    if (!cleanup) abandoned_.insert(hCoP);
    Say("    no FINISHED within %u ms", waitMs);
  } else if (!prim["errors"].empty()) {
    prim["status"] = "ERROR";
  } else if (type == PDU_COPT_SENDRECV && receiveCycles != 0 && !answered) {
    prim["status"] = "NO_RESPONSE";
    Say("    no response");
  } else {
    prim["status"] = "FINISHED";
  }
  doc_["primitives"].push_back(prim);
  if (!cleanup && !vciLost_) {
    for (const auto& e : prim["errors"]) {
      if (e["code"] == kErrRxTimeout) {
        CheckVciAnswers();
        break;
      }
    }
  }
  return prim;
}

void Client::CheckVciAnswers() {
  // An ECU that does not answer and a VCI that stopped answering both end
  // a request with RX_TIMEOUT, and the library goes on with the next one.
  // The battery reading tells them apart: it has its own timeout (500 ms)
  // and asks the VCI whenever no ComPrimitive runs, which is the case now
  // (this tool queues one at a time; while one waits the library would
  // answer a substitute without asking).
  const UNUM32 id = ObjectId(PDU_OBJT_IO_CTRL, "PDU_IOCTL_READ_VBATT");
  if (id == PDU_ID_UNDEF) return;
  const auto start = Clock::now();
  PDU_DATA_ITEM* out = nullptr;
  const T_PDU_ERROR status = Invoke(Fn().PDUIoCtl, hMod_, PDU_HANDLE_UNDEF, id, nullptr, &out);
  if (out != nullptr) Invoke(Fn().PDUDestroyItem, reinterpret_cast<PDU_ITEM*>(out));
  doc_["vciCheck"] = {{"status", StatusName(status)},
                      {"ms", std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count()}};
  if (status == PDU_ERR_FCT_FAILED || status == PDU_ERR_COMM_PC_TO_VCI_FAILED) NoteVciLost("the VCI does not answer");
}

void Client::NoteVciLost(const std::string& reason) {
  if (vciLost_) return;
  vciLost_ = true;
  const std::string text = "VCI lost on " + vciPort_ + " (" + reason + ")";
  doc_["vciLost"] = text;
  std::fprintf(stderr, "pdutool: %s\n", text.c_str());
  if (!doc_.contains("error")) doc_["error"] = text;
}

void Client::CheckIoCtlStatus(T_PDU_ERROR status) {
  if (status == PDU_ERR_COMM_PC_TO_VCI_FAILED && !vciPort_.empty()) NoteVciLost("the VCI does not answer");
}

void Client::CollectLinkEvents(UNUM32 hCLL, uint32_t waitMs) {
  const auto start = Clock::now();
  const auto deadline = start + std::chrono::milliseconds(waitMs);
  size_t before = doc_["linkEvents"].size();
  for (;;) {
    Drain(hCLL, PDU_HANDLE_UNDEF, nullptr, start);
    if (doc_["linkEvents"].size() > before || Clock::now() >= deadline || InterruptPending()) break;
    WaitForEvents(deadline, false, true);
  }
}

void Client::DrainPending(UNUM32 hCLL) { Drain(hCLL, PDU_HANDLE_UNDEF, nullptr, Clock::now()); }

}  // namespace pdutool
