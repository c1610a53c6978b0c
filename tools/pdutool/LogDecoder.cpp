#include "LogDecoder.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "FrameText.h"
#include "Names.h"
#include "Numbers.h"

namespace pdutool {

using nlohmann::json;

namespace {

std::string Trim(const std::string& s) {
  size_t a = s.find_first_not_of(" \t\r");
  size_t b = s.find_last_not_of(" \t\r");
  return a == std::string::npos ? "" : s.substr(a, b - a + 1);
}

// "PDUName 123" -> name and tick.
bool CallStart(const std::string& line, std::string& name, uint32_t& tick) {
  if (line.rfind("PDU", 0) != 0 || line.size() < 5 || line[3] == '_') return false;
  size_t sp = line.find(' ');
  if (sp == std::string::npos) return false;
  std::string rest = Trim(line.substr(sp));
  if (!IsDigits(rest)) return false;
  name = line.substr(0, sp);
  tick = static_cast<uint32_t>(std::stoul(rest));
  return true;
}

// "PDUName  <STATUS> 123" -> name, status and tick.
bool CallEnd(const std::string& line, std::string& name, std::string& status, uint32_t& tick) {
  if (line.rfind("PDU", 0) != 0 || line.size() < 4 || line[3] == '_') return false;
  size_t lt = line.find(" <");
  size_t gt = line.find('>', lt == std::string::npos ? 0 : lt);
  if (lt == std::string::npos || gt == std::string::npos) return false;
  std::string rest = Trim(line.substr(gt + 1));
  if (!IsDigits(rest)) return false;
  name = Trim(line.substr(0, lt));
  status = line.substr(lt + 2, gt - lt - 2);
  tick = static_cast<uint32_t>(std::stoul(rest));
  return true;
}

std::vector<uint8_t> Unhex(const std::string& text) {
  std::vector<uint8_t> out;
  std::string digits;
  for (char c : text) {
    if (std::isxdigit(static_cast<unsigned char>(c))) digits += c;
  }
  for (size_t i = 0; i + 1 < digits.size(); i += 2) {
    out.push_back(static_cast<uint8_t>(std::stoul(digits.substr(i, 2), nullptr, 16)));
  }
  return out;
}

std::string HexDigits(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (std::isxdigit(static_cast<unsigned char>(c))) out += static_cast<char>(std::toupper(c));
  }
  return out;
}

// The main log's copies are the stuffed wire bytes, the contact log holds
// frames unstuffed: 7D 5E -> 7E, 7D 5D -> 7D.
std::string Unstuffed(const std::string& digits) {
  std::string out;
  for (size_t i = 0; i + 1 < digits.size(); i += 2) {
    if (digits.compare(i, 2, "7D") == 0 && i + 3 < digits.size() &&
        (digits.compare(i + 2, 2, "5E") == 0 || digits.compare(i + 2, 2, "5D") == 0)) {
      out += digits[i + 3] == 'E' ? "7E" : "7D";
      i += 2;
    } else {
      out += digits.substr(i, 2);
    }
  }
  return out;
}

// Lines support needs to see whatever call they are in: the port search,
// I/O failures, refusals.
bool Notable(const std::string& line) {
  static const char* const kWords[] = {"failed", "FAIL", "skipped", "Can't", "not offered", "dropped", "refused",
                                       "error", "resync", "not sent", "lost", "ends", "ignored"};
  for (const char* w : kWords) {
    if (line.find(w) != std::string::npos) return true;
  }
  return false;
}

// The port a port-search line names ("port /dev/x skipped", "open /dev/x
// failed", "low latency not offered by /dev/x: ...").
std::string PortOf(const std::string& line) {
  static const char* const kBefore[] = {"port ", "open ", "offered by ", "latency on ", "DTR on ", "RTS on ",
                                        "configure ", "read "};
  for (const char* before : kBefore) {
    const size_t at = line.find(before);
    if (at == std::string::npos) continue;
    const size_t from = at + std::strlen(before);
    std::string word = line.substr(from, line.find(' ', from) - from);
    while (!word.empty() && (word.back() == ':' || word.back() == ',')) word.pop_back();
    const bool comPort =
        word.size() > 3 && word.compare(0, 3, "COM") == 0 && std::isdigit(static_cast<unsigned char>(word[3]));
    if (word.find('/') != std::string::npos || comPort) return word;
  }
  return "";
}

// The receive thread's lines for each frame it takes from the VCI (its
// resynchronisation and drop lines are Notable and stay visible).
bool ReceivePath(const std::string& line) {
  static const char* const kPrefixes[] = {
      "---------recv date from car", "show data = ", "--3", "--4", "--5", "data = ", "recv len multithread = ",
      "decode data multithread = ", "modify data = ", "recv len = ", "recv end", "time = ", "------recv data",
      "data len = ", "pdu_result_data = ", "pdu_result_data->NumDataBytes = ", "reg = "};
  for (const char* p : kPrefixes) {
    if (line.rfind(p, 0) == 0) return true;
  }
  return false;
}

// "[1  2] ..." -> 1, 2.
bool EventHandles(const std::string& line, int& hCLL, int& hCoP) {
  size_t open = line.find('[');
  if (open == std::string::npos) return false;
  return std::sscanf(line.c_str() + open, "[%d %d]", &hCLL, &hCoP) == 2;
}

}  // namespace

std::string LogDecoder::Clock(uint32_t tick) const {
  double wall = anchorWallMs_ - static_cast<double>(maxTick_ - std::min(tick, maxTick_));
  std::time_t secs = static_cast<std::time_t>(wall / 1000.0);
  int ms = static_cast<int>(wall - static_cast<double>(secs) * 1000.0);
  std::tm local{};
  localtime_r(&secs, &local);
  char buf[48];
  std::strftime(buf, sizeof buf, "%H:%M:%S", &local);
  std::string out = buf;
  std::snprintf(buf, sizeof buf, ".%03d", ms);
  return out + buf;
}

long LogDecoder::DayMs(uint32_t tick) const {
  double wall = anchorWallMs_ - static_cast<double>(maxTick_ - std::min(tick, maxTick_));
  std::time_t secs = static_cast<std::time_t>(wall / 1000.0);
  std::tm local{};
  localtime_r(&secs, &local);
  return ((local.tm_hour * 60L + local.tm_min) * 60L + local.tm_sec) * 1000L +
         static_cast<long>(wall - static_cast<double>(secs) * 1000.0);
}

void LogDecoder::Emit(Kind kind, uint32_t tick, const std::string& text, int link) {
  lastTick_ = tick = tick != 0 ? tick : lastTick_;
  const int session = sessions_.empty() ? 0 : sessions_.back().number;
  if (f_.session != 0 && session != f_.session) return;
  if (f_.sinceMs >= 0 && (tick == 0 || DayMs(tick) < f_.sinceMs)) {
    if (kind == Kind::kSession) {
      heldHeader_ = text;
    } else if (kind == Kind::kSummary) {
      heldHeader_.clear();
    }
    return;
  }
  if (f_.link != 0 && kind != Kind::kSummary && kind != Kind::kSession && link != f_.link) return;
  if (kind == Kind::kFolded && !f_.verbose) return;
  if (!heldHeader_.empty()) {
    std::string header;
    header.swap(heldHeader_);
    Write(Kind::kSession, session, header);
  }
  Write(kind, session, text);
}

void LogDecoder::Write(Kind kind, int session, const std::string& text) {
  static const char* const kKinds[] = {"call", "frame", "event", "verbatim", "folded", "session", "summary"};
  if (f_.json || f_.jsonLines) {
    json entry = {{"session", session}, {"kind", kKinds[static_cast<int>(kind)]}, {"text", text}};
    if (stream_ == nullptr) {
      entries_.push_back(std::move(entry));
    } else {
      // The log's bytes may be another code page: U+FFFD for what is no UTF-8.
      const std::string one = entry.dump(-1, ' ', false, json::error_handler_t::replace);
      std::fprintf(stream_, f_.jsonLines ? "%s\n" : streamFirst_ ? "    %s" : ",\n    %s", one.c_str());
      streamFirst_ = false;
    }
    return;
  }
  if (!datePrinted_ && anchorWallMs_ > 0) {
    std::time_t secs = static_cast<std::time_t>(anchorWallMs_ / 1000.0);
    std::tm local{};
    localtime_r(&secs, &local);
    char date[16];
    std::strftime(date, sizeof date, "%Y-%m-%d", &local);
    std::printf("%s (wall-clock times from the files' modification time)\n", date);
    datePrinted_ = true;
  }
  std::printf("%s\n", text.c_str());
}

void LogDecoder::StartSession(uint32_t tick) {
  if (!sessions_.empty()) Summarize();
  Session s;
  s.number = static_cast<int>(sessions_.size()) + 1;
  s.startTick = s.endTick = tick;
  sessions_.push_back(s);
  Emit(Kind::kSession, tick, "== session " + std::to_string(s.number) + ", " + Clock(tick));
}

void LogDecoder::Summarize() {
  FlushReceivePath();
  Session& s = sessions_.back();
  if (s.summarized) return;
  s.summarized = true;
  char buf[160];
  std::snprintf(buf, sizeof buf, "== session %d: %.1f s, %d request(s), %d error(s), VCI port %s", s.number,
                (s.endTick - s.startTick) / 1000.0, s.requests, s.errors,
                s.noVci ? "none found" : s.port.empty() ? "unknown" : s.port.c_str());
  std::string text = buf;
  if (s.folded != 0 && !f_.verbose) {
    text += ", " + std::to_string(s.folded) + " internal line(s) folded into their calls (--verbose shows them)";
  }
  if (s.twoProcesses) text += "; two processes wrote this log (their lines are interleaved in this session)";
  if (!s.destructed) {
    text += "; it ended without PDUDestruct (its client was killed or crashed)";
    if (!s.lastRequest.empty()) text += ", its last request still open: PDUStartComPrimitive" + s.lastRequest;
  }
  Emit(Kind::kSummary, s.endTick, text);
}

void LogDecoder::FlushReceivePath() {
  if (rxLines_ == 0) return;
  std::string text = "              . receive path: " + std::to_string(rxLines_) + " line(s) folded, " +
                     std::to_string(rxFrames_) + " frame(s) received";
  if (rxCop_ >= 0) text += " (hCoP " + std::to_string(rxCop_) + ")";
  if (!f_.verbose) text += " (--verbose shows them)";
  Emit(Kind::kVerbatim, seenTick_, text);
  rxLines_ = rxFrames_ = 0;
}

std::string LogDecoder::FrameText(const ContactLine& c) const {
  std::vector<uint8_t> raw = Unhex(c.hex);
  auto f = frametext::ParseFrame(raw.data(), raw.size());
  if (!f) return std::string(c.sent ? "PC->VCI" : "VCI->PC") + "  (not a valid frame) " + c.hex;
  return frametext::DescribeFrame(c.sent, f->channel, f->sequence, f->command, f->data);
}

void LogDecoder::FlushFrames(const bool* sent, uint32_t tick) {
  while (!contacts_.empty()) {
    const ContactLine c = contacts_.front();
    if (sent == nullptr && c.tick > tick) break;
    contacts_.pop_front();
    const std::string text = FrameText(c);
    int link = 0;
    if (size_t at = text.find("hCLL="); at != std::string::npos) link = std::atoi(text.c_str() + at + 5);
    std::string line = Clock(c.tick) + "      " + text;
    if (inCall_) {
      callFrames_.emplace_back(line, link != 0 ? link : callLink_);
    } else {
      Emit(Kind::kFrame, c.tick, line, link);
    }
    if (sent != nullptr && c.sent == *sent) break;
  }
}

void LogDecoder::FlushMatching(bool sent, const std::string& stuffed) {
  const std::string hex = Unstuffed(stuffed);
  size_t last = contacts_.size();
  for (size_t i = 0; i < contacts_.size() && i < 64; ++i) {
    const ContactLine& c = contacts_[i];
    if (c.sent != sent) continue;
    std::string mine = HexDigits(c.hex);
    if (!mine.empty() && hex.find(mine) != std::string::npos) {
      last = i;
      if (sent) break;
    } else if (last != contacts_.size()) {
      break;
    }
  }
  if (last == contacts_.size()) return;
  for (size_t i = 0; i <= last; ++i) {
    const bool direction = contacts_.front().sent;
    FlushFrames(&direction, 0);
  }
}

std::string LogDecoder::TakeEvent(int hCLL, int hCoP, uint32_t tick) {
  // Lines of killed clients' calls may come first: look a little ahead.
  for (size_t i = 0; i < events_.size() && i < 16; ++i) {
    int l = 0, c = 0;
    if (!EventHandles(events_[i], l, c) || l != hCLL || (hCoP >= 0 && c != hCoP)) continue;
    for (size_t k = 0; k < i; ++k) {
      Verbatim("data log, no call of its own: " + events_.front(), tick);
      events_.pop_front();
    }
    std::string line = events_.front();
    events_.pop_front();
    ++counts_.decoded;
    return line;
  }
  return "";
}

void LogDecoder::Verbatim(const std::string& line, uint32_t tick) {
  ++counts_.verbatim;
  Emit(Kind::kVerbatim, tick, "              | " + line, inCall_ ? callLink_ : 0);
}

void LogDecoder::Detail(const std::string& line) {
  std::string t = Trim(line);
  size_t eq = t.find(" = ");
  std::string key = eq == std::string::npos ? "" : t.substr(0, eq);
  std::string value = eq == std::string::npos ? "" : t.substr(eq + 3);
  if (t.rfind("hCoP=", 0) == 0) {
    callCop_ = std::atoi(t.c_str() + 5);
    details_ += " item hCoP=" + std::to_string(callCop_);
    ++counts_.decoded;
    return;
  }
  if (t.rfind("*pCopData:", 0) == 0 && t.size() > 10 && details_.find("data") == std::string::npos) {
    details_ += " data=[" + Trim(t.substr(10)) + "]";
    ++counts_.decoded;
    return;
  }
  if (key == "ErrorCode" || key == "ErrorInfoId") {
    // An error item: both numbers, with the code's name.
    const unsigned long v = std::strtoul(value.c_str(), nullptr, 10);
    char buf[96];
    if (key == "ErrorCode") {
      std::snprintf(buf, sizeof buf, " ErrorCode=0x%lX (%s)", v, ErrorEventName(static_cast<uint32_t>(v)).c_str());
      if (!sessions_.empty()) ++sessions_.back().errors;
    } else {
      std::snprintf(buf, sizeof buf, " ErrorInfoId=%lu (0x%lX)", v, v);
    }
    details_ += buf;
    ++counts_.decoded;
    return;
  }
  static const char* const kKeys[] = {"hCLL", "hCoP", "resourceId", "*phCLL", "*phCoP", "CoPType",
                                      "ComParamID", "ParamName", "*pShortname", "*pPduObjectId",
                                      "ItemType", "pResult->UniqueRespIdentifier", "pResult->pDataByte"};
  for (const char* k : kKeys) {
    if (key != k) continue;
    std::string shown = key;
    if (shown.rfind("pResult->", 0) == 0) shown = shown.substr(9);
    if (shown[0] == '*') shown = shown.substr(1);
    if (shown == "pDataByte") {
      details_ += " data=[" + value + "]";
    } else {
      details_ += " " + shown + "=" + value;
    }
    if (key == "hCLL") callLink_ = std::atoi(value.c_str());
    ++counts_.decoded;
    return;
  }
  // A bare status value under an event item ("PDU_COPST_FINISHED").
  if (line.size() > 1 && line[0] == '\t' && t.rfind("PDU_", 0) == 0 && t.find(' ') == std::string::npos &&
      t.find("_IT_") == std::string::npos && t.find("_OBJT_") == std::string::npos) {
    details_ += " " + t;
    ++counts_.decoded;
    return;
  }
  ++counts_.folded;
  if (!sessions_.empty()) ++sessions_.back().folded;
  callFolded_.push_back(line);
}

void LogDecoder::EndCall(const std::string& status, uint32_t tick, bool ended) {
  std::string event;
  if (callName_ == "PDUGetEventItem" && (!ended || status == "PDU_STATUS_NOERROR")) {
    event = TakeEvent(callLink_, callCop_, tick);
  }
  if (callName_ == "PDUStartComPrimitive") {
    const size_t at = details_.find("phCoP=");
    rxCop_ = at == std::string::npos ? -1 : std::atoi(details_.c_str() + at + 6);
    if (!sessions_.empty()) sessions_.back().lastRequest = details_ + " at " + Clock(callTick_);
  }
  if (!sessions_.empty()) {
    if (callName_ == "PDUStartComPrimitive") ++sessions_.back().requests;
    if (ended && status != "PDU_STATUS_NOERROR" && status != "PDU_ERR_EVENT_QUEUE_EMPTY") ++sessions_.back().errors;
  }
  std::string text = Clock(callTick_) + "  " + callName_ + details_ + " -> " + (ended ? status : "(no end in the log)");
  if (ended && tick > callTick_) text += " (" + std::to_string(tick - callTick_) + " ms)";
  inCall_ = false;
  Emit(Kind::kCall, callTick_, text, callLink_);
  for (const auto& [line, link] : callFrames_) Emit(Kind::kFrame, callTick_, line, link);
  for (const std::string& line : callFolded_) Emit(Kind::kFolded, callTick_, "              . " + line, callLink_);
  if (!event.empty()) Emit(Kind::kEvent, tick, Clock(tick) + "      event " + event, callLink_);
  if (!sessions_.empty()) sessions_.back().endTick = std::max(sessions_.back().endTick, tick);
  callFrames_.clear();
  callFolded_.clear();
  details_.clear();
  callLink_ = 0;
  callCop_ = -1;
}

namespace {
// The calls an event callback makes while the engine or the application
// is in another call.
bool ItemCall(const std::string& name) { return name == "PDUGetEventItem" || name == "PDUDestroyItem"; }
}  // namespace

void LogDecoder::MainLine(const std::string& line) {
  std::string name, status;
  uint32_t tick = 0;
  if (CallEnd(line, name, status, tick)) {
    ++counts_.decoded;
    if (inCall_ && callName_ != name) {  // the end of a call this one interrupted
      for (size_t i = interrupted_.size(); i-- > 0;) {
        if (interrupted_[i].name == name) {
          Suspend();
          Resume(i);
          break;
        }
      }
    }
    if (!inCall_) {
      callName_ = name;
      callTick_ = tick;
    }
    EndCall(status, tick, true);
    if (!interrupted_.empty()) Resume(interrupted_.size() - 1);
    return;
  }
  if (CallStart(line, name, tick)) {
    ++counts_.decoded;
    // Frames no main log line placed within a second are printed anyway.
    FlushFrames(nullptr, tick > 1000 ? tick - 1000 : 0);
    // One process's construction inside another's: two processes write.
    const bool overlap = name == "PDUConstruct" && inCall_ && callName_ == "PDUConstruct";
    // A callback's item calls inside another call, or another call inside
    // theirs: both stay open. Any other start ends the open calls: the
    // process died in them (a killed client, then the next one's
    // construction).
    if (inCall_ && name != "PDUConstruct" && (ItemCall(name) || ItemCall(callName_)) && interrupted_.size() < 4) {
      Suspend();
    } else {
      EndOpenCalls();
    }
    if (name == "PDUStartComPrimitive") FlushReceivePath();
    if (overlap && !sessions_.empty()) sessions_.back().twoProcesses = true;
    if (name == "PDUConstruct") StartSession(tick);
    if (overlap) sessions_.back().twoProcesses = true;
    if (name == "PDUDestruct" && !sessions_.empty()) {
      if (sessions_.back().destructed) sessions_.back().twoProcesses = true;
      sessions_.back().destructed = true;
    }
    if (!sessions_.empty()) sessions_.back().endTick = std::max(sessions_.back().endTick, tick);
    inCall_ = true;
    callName_ = name;
    callTick_ = tick;
    details_.clear();
    return;
  }
  if (Trim(line).empty()) {
    ++counts_.decoded;  // blank separators
    return;
  }
  // The main log's own copies of the traffic place the contact log's
  // frames: a write is the next sent frame, a receive the next received.
  if (size_t at = line.find("Write Data_Original:"); at != std::string::npos) {
    ++counts_.decoded;
    FlushMatching(true, HexDigits(line.substr(at + 20)));
    return;
  }
  if (line.rfind("recv buffer = ", 0) == 0) {
    ++counts_.decoded;
    FlushMatching(false, HexDigits(line.substr(14, line.find(" m_dw") - 14)));
    return;
  }
  if (!sessions_.empty()) {
    Session& s = sessions_.back();
    if (line.find("Can't find comm") != std::string::npos) s.noVci = true;
    std::string port = PortOf(line);
    if (!port.empty()) s.port = port;
  }
  if (!inCall_ && !Notable(line) && ReceivePath(line)) {
    ++counts_.folded;
    if (!sessions_.empty()) ++sessions_.back().folded;
    ++rxLines_;
    if (line == "recv end") ++rxFrames_;
    Emit(Kind::kFolded, seenTick_, "              . " + line);
    return;
  }
  if (!inCall_ || Notable(line)) {
    Verbatim(line, inCall_ ? callTick_ : 0);
    return;
  }
  Detail(line);
}

void LogDecoder::Feed(const std::vector<std::string>& main, const std::vector<std::string>& data,
                      const std::vector<std::string>& contact, bool final) {
  counts_.mainLines += static_cast<unsigned>(main.size());
  counts_.dataLines += static_cast<unsigned>(data.size());
  counts_.contactLines += static_cast<unsigned>(contact.size());
  for (const std::string& l : contact) {
    ContactLine c;
    size_t sp = l.find(' ');
    size_t colon = l.find(": ", sp == std::string::npos ? 0 : sp);
    if (sp == std::string::npos || !IsDigits(l.substr(0, sp)) || colon == std::string::npos) {
      Verbatim("contact log: " + l, 0);
      continue;
    }
    c.tick = static_cast<uint32_t>(std::stoul(l.substr(0, sp)));
    c.sent = l.compare(sp + 1, 3, ">>>") == 0;
    c.hex = l.substr(colon + 2);
    maxTick_ = std::max(maxTick_, c.tick);
    ++counts_.decoded;
    contacts_.push_back(c);
  }
  for (const std::string& l : data) {
    if (Trim(l).empty()) {
      ++counts_.decoded;
      continue;
    }
    events_.push_back(Trim(l));
  }
  // The ticks first, for the wall-clock anchor.
  for (const std::string& l : main) {
    std::string name, status;
    uint32_t tick = 0;
    if (CallStart(l, name, tick) || CallEnd(l, name, status, tick)) {
      maxTick_ = std::max(maxTick_, tick);
      seenTick_ = std::max(seenTick_, tick);
    }
  }
  for (const std::string& l : main) MainLine(l);
  // Frames more than a second older than the newest line fed: nothing
  // read later places them.
  if (final || !inCall_) FlushFrames(nullptr, final ? UINT32_MAX : seenTick_ > 1000 ? seenTick_ - 1000 : 0);
  if (final) {
    EndOpenCalls();
    while (!events_.empty()) {
      Verbatim("data log, no call of its own: " + events_.front(), maxTick_);
      events_.pop_front();
    }
    if (!sessions_.empty()) Summarize();
  }
  std::fflush(stdout);
}

json LogDecoder::SessionsJson() const {
  json sessions = json::array();
  for (const Session& s : sessions_) {
    if (f_.session != 0 && s.number != f_.session) continue;
    sessions.push_back({{"number", s.number},
                        {"start", Clock(s.startTick)},
                        {"durationMs", s.endTick - s.startTick},
                        {"requests", s.requests},
                        {"errors", s.errors},
                        {"port", s.noVci ? json(nullptr) : json(s.port)},
                        {"vciFound", !s.noVci},
                        {"foldedLines", s.folded},
                        {"destructed", s.destructed},
                        {"openRequest", s.destructed || s.lastRequest.empty() ? json(nullptr) : json(s.lastRequest)},
                        {"twoProcesses", s.twoProcesses}});
  }
  return sessions;
}

json LogDecoder::LinesJson() const {
  return {{"main", counts_.mainLines},   {"data", counts_.dataLines},         {"contact", counts_.contactLines},
          {"decoded", counts_.decoded}, {"verbatim", counts_.verbatim}, {"folded", counts_.folded}};
}

json LogDecoder::Document() const {
  return {{"command", "decode-log"}, {"sessions", SessionsJson()}, {"entries", entries_}, {"lines", LinesJson()}};
}

void LogDecoder::StreamTo(FILE* out) {
  stream_ = out;
  if (f_.json && !f_.jsonLines) std::fprintf(out, "{\n  \"command\": \"decode-log\",\n  \"entries\": [\n");
}

void LogDecoder::CloseStream() {
  if (stream_ == nullptr) return;
  const auto dump = [](const json& j) { return j.dump(-1, ' ', false, json::error_handler_t::replace); };
  if (f_.jsonLines) {
    for (const json& s : SessionsJson()) {
      std::fprintf(stream_, "%s\n", dump({{"kind", "sessionInfo"}, {"session", s}}).c_str());
    }
    std::fprintf(stream_, "%s\n", dump({{"kind", "lines"}, {"lines", LinesJson()}}).c_str());
  } else {
    std::fprintf(stream_, "\n  ],\n  \"sessions\": %s,\n  \"lines\": %s\n}\n", dump(SessionsJson()).c_str(),
                 dump(LinesJson()).c_str());
  }
  std::fflush(stream_);
  stream_ = nullptr;
}

}  // namespace pdutool
