// The golden-transcript runner's recording and comparing (GoldenRunner.h).
#include "GoldenRunner.h"

#include <fstream>
#include <map>

namespace pdu::golden {

const char* CommandName(uint8_t command) {
  static const std::map<uint8_t, const char*> kNames = {
      {0x01, "OPEN"}, {0x02, "CLOSE"}, {0x03, "IOCTL"}, {0x05, "PROBE"}, {0x08, "SET_LINK_RESOURCE"},
      {0x09, "DESTROY_LINK"}, {0x0B, "DISCONNECT_LINK"}, {0x0F, "SET_LINK_PARAM"}, {0x10, "COP"},
      {0x1A, "CONNECT_LINK"}, {0x1B, "MODULE_CONNECT"}, {0x1C, "MODULE_DISCONNECT"}, {0x1E, "VEHICLE_DATA"}};
  const auto it = kNames.find(command);
  return it == kNames.end() ? "?" : it->second;
}

std::string Fmt(const char* fmt, ...) {
  char buf[1024];
  va_list ap;
  va_start(ap, fmt);
  std::vsnprintf(buf, sizeof buf, fmt, ap);
  va_end(ap);
  return buf;
}

std::string Tag(const void* p) {
  return p == nullptr ? "null" : Fmt("0x%llX", static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(p)));
}
std::string HexOf(const Bytes& b) { return b.empty() ? "-" : Hex(b.data(), b.size()); }

GoldenTest* g_current = nullptr;

void PDU_CALL GoldenTest::Callback(T_PDU_EVT_DATA evt, UNUM32 hMod, UNUM32 hCLL, void* cllTag, void* apiTag) {
  GoldenTest* self = g_current;
  if (self == nullptr) return;
  CallbackScope scope(*self);
  self->AddCallback(Fmt("callback evt=0x%04X hMod=%u hCLL=%u pCllTag=%s pAPITag=%s", evt, hMod, hCLL,
                        Tag(cllTag).c_str(), Tag(apiTag).c_str()));
  PDU_EVENT_ITEM* ev = nullptr;
  T_PDU_ERROR rc;
  while ((rc = PDUGetEventItem(hMod, hCLL, &ev)) == PDU_STATUS_NOERROR) {
    self->AddItem(hCLL, ev, "  ");
    PDUDestroyItem(reinterpret_cast<PDU_ITEM*>(ev));
  }
  self->AddCallback(Fmt("  PDUGetEventItem -> 0x%08X", rc));
}

std::vector<std::string> GoldenTest::DescribeItem(const PDU_EVENT_ITEM* ev) const {
  std::vector<std::string> lines;
  lines.push_back(Fmt("item type=0x%04X hCop=%u pCoPTag=%s timestamp=%s", ev->ItemType, ev->hCop,
                      Tag(ev->pCoPTag).c_str(), Ts(ev->Timestamp).c_str()));
  if (ev->pData == nullptr) {
    lines.push_back("  pData=null");
  } else if (ev->ItemType == PDU_IT_STATUS) {
    lines.push_back(Fmt("  status=0x%04X", *static_cast<uint32_t*>(ev->pData)));
  } else if (ev->ItemType == PDU_IT_ERROR) {
    auto* e = static_cast<PDU_ERROR_DATA*>(ev->pData);
    lines.push_back(Fmt("  error=0x%08X extra=0x%08X", e->ErrorCodeId, e->ExtraErrorInfoId));
  } else if (ev->ItemType == PDU_IT_RESULT) {
    auto* r = static_cast<PDU_RESULT_DATA*>(ev->pData);
    auto field = [](const PDU_FLAG_DATA& f) {
      return f.pFlagData == nullptr ? Fmt("(%u bytes, null)", f.NumFlagBytes) : Hex(f.pFlagData, f.NumFlagBytes);
    };
    lines.push_back("  rxFlag=" + field(r->RxFlag) + " timestampFlags=" + field(r->TimestampFlags));
    lines.push_back(Fmt("  uniqueRespId=%u acceptanceId=%u txMsgDone=%s startMsg=%s", r->UniqueRespIdentifier,
                        r->AcceptanceId, Ts(r->TxMsgDoneTimestamp).c_str(), Ts(r->StartMsgTimestamp).c_str()));
    if (r->pExtraInfo == nullptr) {
      lines.push_back("  extraInfo=null");
    } else {
      const PDU_EXTRA_INFO& x = *r->pExtraInfo;
      lines.push_back("  extraInfo header=[" + (x.pHeaderBytes ? Hex(x.pHeaderBytes, x.NumHeaderBytes) : "") +
                      "] footer=[" + (x.pFooterBytes ? Hex(x.pFooterBytes, x.NumFooterBytes) : "") + "]" +
                      Fmt(" (%u, %u)", x.NumHeaderBytes, x.NumFooterBytes));
    }
    lines.push_back(Fmt("  data(%u)=", r->NumDataBytes) +
                    (r->pDataBytes ? Hex(r->pDataBytes, r->NumDataBytes) : std::string("null")));
  } else if (ev->ItemType == PDU_IT_INFO) {
    lines.push_back(Fmt("  info word=0x%08X", *static_cast<uint32_t*>(ev->pData)));
  }
  return lines;
}

std::vector<std::string> GoldenTest::DescribeFrame(const VciFrame& f) const {
  std::vector<std::string> lines;
  lines.push_back(Fmt("ch=0x%02X seq=%u cmd=0x%02X %s data(%zu)=%s", f.channel, f.sequence, f.command,
                      CommandName(f.command), f.data.size(), HexOf(f.data).c_str()));
  test::VciCopRequest cop;
  if (f.command == kCmdCop && TestVci::ParseCop(f, cop)) {
    lines.push_back(Fmt("  cop hMod=%u hCLL=%u type=0x%04X request=[%s] send=%u receive=%u txFlags=[%s]", cop.hMod,
                        cop.hCLL, cop.copType, HexOf(cop.request).c_str(), cop.sendCycles, cop.receiveCycles,
                        HexOf(cop.txFlags).c_str()));
  }
  lines.push_back("  frame=" + HexOf(f.frame));
  return lines;
}

void GoldenTest::Check(const std::string& name) {
  PDUDestruct();
  const uint32_t tickHi = platform::ClockTicks();
  const log::LogFileNames files = log::CurrentLogFileNames();
  std::vector<std::string> t = {"# golden transcript: " + name, "## calls"};
  {
    std::lock_guard<std::mutex> g(m_);
    t.insert(t.end(), calls_.begin(), calls_.end());
    t.push_back("## callbacks");
    t.insert(t.end(), callbacks_.begin(), callbacks_.end());
  }
  t.push_back("## vci");
  for (const VciFrame& f : vci_->Frames())
    for (const std::string& l : DescribeFrame(f)) t.push_back(l);
  t.push_back(Fmt("bad frames: %zu", vci_->BadFrames()));
  std::string line;
  auto addLog = [&](const char* title, const std::string& path) {
    t.push_back(std::string("## ") + title);
    for (const std::string& raw : SplitLines(test::ReadFile(path)))
      if (NormaliseLogLine(raw, tickHi, line)) t.push_back(line);
  };
  // The receive thread's lines of the main log interleave with the
  // engine's and the API's at the pace the pseudo-terminal delivers: they
  // get a section of their own, each section in its own thread's order.
  std::vector<std::string> engineLines{"## main log"}, receiveLines{"## main log, receive thread"};
  for (const std::string& raw : SplitLines(test::ReadFile(files.main)))
    if (NormaliseLogLine(raw, tickHi, line)) (FromReceiveThread(line) ? receiveLines : engineLines).push_back(line);
  t.insert(t.end(), engineLines.begin(), engineLines.end());
  t.insert(t.end(), receiveLines.begin(), receiveLines.end());
  addLog("data log", files.data);
  addLog("contact log", files.contact);

  // Every scenario but the prologue itself is stored without the lines it
  // shares with the prologue (Transcript.h).
  const std::string dir = std::string(PDU7318_SOURCE_DIR) + "/tests/golden/";
  const bool isPrologue = name == kPrologue;
  const std::vector<std::string> prologue =
      isPrologue || !test::FileExists(dir + kPrologue + ".txt") ? std::vector<std::string>{}
                                                                : SplitLines(test::ReadFile(dir + kPrologue + ".txt"));
  std::string actual;
  for (const std::string& l : isPrologue ? t : CompactTranscript(t, prologue)) actual += l + "\n";
  const std::string path = dir + name + ".txt";
  const char* record = std::getenv("PDU7318_RECORD_GOLDEN");
  if (record != nullptr && std::strcmp(record, "1") == 0) {
    ASSERT_TRUE(std::ofstream(path, std::ios::binary) << actual) << path;
    std::printf("recorded %s (%zu lines, %zu in full)\n", path.c_str(), SplitLines(actual).size(), t.size());
    return;
  }
  if (!test::FileExists(path)) FAIL() << path << " does not exist; record it with tools/record-golden";
  const std::vector<std::string> expected = ExpandTranscript(SplitLines(test::ReadFile(path)), prologue);
  const std::string diff = UnifiedDiff(expected, t, "tests/golden/" + name + ".txt (expected)", "actual");
  EXPECT_TRUE(diff.empty()) << "the transcript differs from tests/golden/" << name
                            << ".txt (re-record with tools/record-golden when the change is intended):\n"
                            << diff;
}

bool GoldenTest::FromReceiveThread(const std::string& line) {
  static const char* const kPrefixes[] = {
      "recv buffer", "recv resync", "recv frame longer than", "---------recv date from car",
      "---------recv other date from hardware", "vehicle-data queue full", "answer queue full", "show data = ",
      "read <port> failed"};
  for (const char* p : kPrefixes)
    if (line.rfind(p, 0) == 0) return true;
  return false;
}

bool GoldenTest::NormaliseLogLine(const std::string& raw, uint32_t tickHi, std::string& line) const {
  line = raw;
  if (line.rfind("recv buffer = ", 0) == 0 || line == "--4") return false;
  // Written only where the user may not raise a thread's priority (not
  // root, no CAP_SYS_NICE or RLIMIT_NICE): a fact of the machine, not of
  // the scenario.
  if (line.rfind("receive thread priority not raised: ", 0) == 0) return false;
  static const char* const kAddressKeys[] = {"$", "thread = ", "pDLCPinData = ", "pdu_result_data = "};
  for (const char* key : kAddressKeys) {
    const size_t klen = std::strlen(key);
    for (size_t p = line.find(key); p != std::string::npos; p = line.find(key, p + klen)) {
      size_t e = p + klen, d = e;
      if (d < line.size() && line[d] == '-') ++d;
      size_t q = d;
      while (q < line.size() && std::isdigit(static_cast<unsigned char>(line[q]))) ++q;
      if (q == d || q - d > 18) continue;
      // Tags the scenario passes are small numbers after "$" and stay.
      const long long v = std::stoll(line.substr(d, q - d));
      if (key[0] == '$' && v < 65536 && line[e] != '-') continue;
      line.replace(e, q - e, "<addr>");
    }
  }
  const std::string key = "callback = ";
  const size_t at = line.find(key);
  if (at != std::string::npos) {
    size_t end = at + key.size();
    if (end < line.size() && line[end] == '-') ++end;
    while (end < line.size() && std::isdigit(static_cast<unsigned char>(line[end]))) ++end;
    line = line.substr(0, at + key.size()) + "<fn>" + line.substr(end);
  }
  // The test program's own path (the build folder) and the throw-away
  // application folder differ from build to build.
  if (line.rfind("call exe:", 0) == 0) line = "call exe:<exe>";
  const std::string home = home_.path();
  for (size_t p = line.find(home); p != std::string::npos; p = line.find(home, p))
    line.replace(p, home.size(), "<home>/");
  const std::string port = vci_->Path();
  for (size_t p = line.find(port); p != std::string::npos; p = line.find(port, p))
    line.replace(p, port.size(), "<port>");
  line = NormaliseAddresses(NormaliseTicks(line, tickLo_, tickHi));
  return true;
}

}  // namespace pdu::golden
