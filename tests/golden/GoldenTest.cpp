// Golden-transcript runner: each test is one scenario family, run through
// the exported functions in-process against the test VCI; its transcript
// (see Transcript.h) is compared with tests/golden/<family>.txt.
//
// Re-record every transcript after an intended change of behaviour:
//
//   tools/record-golden            (= PDU7318_RECORD_GOLDEN=1 ctest -R golden)
//
// then read the diff (git diff tests/golden) before committing it: the
// transcripts are the expected values.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdarg>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "Transcript.h"
#include "log/PduLog.h"
#include "pdu_api.h"
#include "platform/Clock.h"
#include "platform/Platform.h"
#include "support/TempHome.h"
#include "support/TestVci.h"
#include "support/WireCodes.h"

namespace pdu::golden {
namespace {

using test::Bytes;
using test::TestVci;
using test::VciFrame;
using test::VciReply;

using test::kCmdCop;
using test::kCmdIoCtl;

const char* CommandName(uint8_t command) {
  switch (command) {
    case 0x01: return "OPEN";
    case 0x02: return "CLOSE";
    case 0x03: return "IOCTL";
    case 0x05: return "PROBE";
    case 0x08: return "SET_LINK_RESOURCE";
    case 0x09: return "DESTROY_LINK";
    case 0x0B: return "DISCONNECT_LINK";
    case 0x0F: return "SET_LINK_PARAM";
    case 0x10: return "COP";
    case 0x1A: return "CONNECT_LINK";
    case 0x1B: return "MODULE_CONNECT";
    case 0x1C: return "MODULE_DISCONNECT";
    case 0x1E: return "VEHICLE_DATA";
    default: return "?";
  }
}

constexpr uint32_t kMod = 1;
// The scenario whose transcript the others share (Transcript.h).
constexpr const char* kPrologue = "prologue";
void* const kApiTag = reinterpret_cast<void*>(0xA0A0);

std::string Fmt(const char* fmt, ...) PDU_PRINTF(1, 2);
std::string Fmt(const char* fmt, ...) {
  char buf[1024];
  va_list ap;
  va_start(ap, fmt);
  std::vsnprintf(buf, sizeof buf, fmt, ap);
  va_end(ap);
  return buf;
}

std::string Tag(const void* p) { return p == nullptr ? "null" : Fmt("0x%llX", static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(p))); }
std::string HexOf(const Bytes& b) { return b.empty() ? "-" : Hex(b.data(), b.size()); }

class GoldenTest;
GoldenTest* g_current = nullptr;

class GoldenTest : public ::testing::Test {
 protected:
  void SetUp() override {
    tickLo_ = platform::ClockTicks();
    home_.CopyData("MDF.xml");
    home_.SetLogSwitch("1");
    vci_ = std::make_unique<TestVci>();
    ports_ = std::make_unique<test::ScopedPorts>(std::vector<std::string>{vci_->Path()});
    g_current = this;
  }
  void TearDown() override {
    PDUDestruct();
    g_current = nullptr;
  }

  // ---- the transcript ------------------------------------------------
  void Note(const std::string& line) {
    std::lock_guard<std::mutex> g(m_);
    calls_.push_back(line);
  }
  void Call(const std::string& what, T_PDU_ERROR rc, const std::string& out = "") {
    Note(what + " -> " + Fmt("0x%08X", rc) + (out.empty() ? "" : " " + out));
  }
  std::string Ts(uint32_t v) const { return v == 0 ? "0" : (v >= tickLo_ && v <= platform::ClockTicks() ? "<t>" : std::to_string(v)); }

  // The callback of every link and of the module: records its arguments
  // and fetches every waiting item of the link, as applications do (the
  // engine calls it when events wait, not once per event).
  static void PDU_CALL Callback(T_PDU_EVT_DATA evt, UNUM32 hMod, UNUM32 hCLL, void* cllTag, void* apiTag) {
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

  // Counts the callbacks running, so that a step can wait for the engine
  // thread to leave the callback before the next API call.
  struct CallbackScope {
    explicit CallbackScope(GoldenTest& t) : t_(t) {
      std::lock_guard<std::mutex> g(t_.m_);
      ++t_.inCallback_;
    }
    ~CallbackScope() {
      std::lock_guard<std::mutex> g(t_.m_);
      --t_.inCallback_;
      t_.cv_.notify_all();
    }
    GoldenTest& t_;
  };

  void AddCallback(const std::string& line) {
    std::lock_guard<std::mutex> g(m_);
    callbacks_.push_back(line);
  }
  std::vector<std::string> DescribeItem(const PDU_EVENT_ITEM* ev) const {
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
  void AddItem(uint32_t hCLL, const PDU_EVENT_ITEM* ev, const std::string& indent) {
    std::vector<std::string> lines = DescribeItem(ev);
    std::lock_guard<std::mutex> g(m_);
    for (const std::string& l : lines) callbacks_.push_back(indent + l);
    if (ev->ItemType == PDU_IT_STATUS && ev->pData != nullptr) {
      const uint32_t s = *static_cast<uint32_t*>(ev->pData);
      if (s == PDU_COPST_FINISHED) finished_.push_back(ev->hCop);
      if (s == PDU_CLLST_ONLINE || s == PDU_CLLST_OFFLINE) linkStatus_.push_back({hCLL, s});
    }
    cv_.notify_all();
  }

  // Waits (on the callback's condition variable) until pred holds.
  bool WaitUntil(const std::function<bool()>& pred, uint32_t timeoutMs) {
    std::unique_lock<std::mutex> g(m_);
    return cv_.wait_for(g, std::chrono::milliseconds(timeoutMs), pred);
  }
  // After the awaited item: the callback returns, and the engine thread
  // logs its last line of the job ("CallbackThread quit") a moment later;
  // kSettleMs gives it that moment so that the next API call's log lines
  // come after it. This is the one place where the runner relies on
  // timing, with a wide margin (the engine has nothing left to wait for).
  static constexpr uint32_t kSettleMs = 40;
  void Settle() {
    WaitUntil([&] { return inCallback_ == 0; }, 3000);
    WaitUntil([] { return false; }, kSettleMs);
  }
  bool WaitFinished(uint32_t hCop, uint32_t timeoutMs) {
    const bool ok = WaitUntil(
        [&] { return std::find(finished_.begin(), finished_.end(), hCop) != finished_.end(); }, timeoutMs);
    Settle();
    return ok;
  }
  bool WaitLinkStatus(uint32_t hCLL, uint32_t status, uint32_t timeoutMs) {
    const bool ok = WaitUntil(
        [&] {
          for (auto& s : linkStatus_)
            if (s.first == hCLL && s.second == status) return true;
          return false;
        },
        timeoutMs);
    Settle();
    return ok;
  }

  // ---- steps -----------------------------------------------------------
  void Construct() {
    const T_PDU_ERROR rc = PDUConstruct(nullptr, kApiTag);
    Call("PDUConstruct(null, 0xA0A0)", rc);
    Call("PDURegisterEventCallback(1, module)", PDURegisterEventCallback(kMod, PDU_HANDLE_UNDEF, Callback));
  }
  void Destruct() { Call("PDUDestruct()", PDUDestruct()); }

  uint32_t Link(uint32_t resourceId, uintptr_t tag) {
    uint32_t h = 0;
    const T_PDU_ERROR rc =
        PDUCreateComLogicalLink(kMod, nullptr, resourceId, reinterpret_cast<void*>(tag), &h, nullptr);
    Call(Fmt("PDUCreateComLogicalLink(1, null, %u, 0x%llX)", resourceId, static_cast<unsigned long long>(tag)), rc,
         Fmt("hCLL=%u", h));
    Call(Fmt("PDURegisterEventCallback(1, %u)", h), PDURegisterEventCallback(kMod, h, Callback));
    return h;
  }
  void Connect(uint32_t h) {
    Call(Fmt("PDUConnect(1, %u)", h), PDUConnect(kMod, h));
    if (!WaitLinkStatus(h, PDU_CLLST_ONLINE, 3000)) Note("  (no ONLINE item within 3000 ms)");
  }
  void Disconnect(uint32_t h) {
    Call(Fmt("PDUDisconnect(1, %u)", h), PDUDisconnect(kMod, h));
    if (!WaitLinkStatus(h, PDU_CLLST_OFFLINE, 3000)) Note("  (no OFFLINE item within 3000 ms)");
  }
  void Destroy(uint32_t h) { Call(Fmt("PDUDestroyComLogicalLink(1, %u)", h), PDUDestroyComLogicalLink(kMod, h)); }

  uint32_t Cop(uint32_t h, uint32_t type, const Bytes& request, int32_t send = 1, int32_t receive = 1,
               uintptr_t tag = 0, uint32_t waitMs = 5000) {
    PDU_COP_CTRL_DATA ctrl{};
    ctrl.NumSendCycles = send;
    ctrl.NumReceiveCycles = receive;
    uint32_t hCop = 0;
    Bytes req = request;
    const T_PDU_ERROR rc =
        PDUStartComPrimitive(kMod, h, type, static_cast<UNUM32>(req.size()), req.empty() ? nullptr : req.data(),
                             &ctrl, reinterpret_cast<void*>(tag), &hCop);
    Call(Fmt("PDUStartComPrimitive(1, %u, 0x%04X, [%s], send=%d, receive=%d, 0x%llX)", h, type, HexOf(request).c_str(),
             send, receive, static_cast<unsigned long long>(tag)),
         rc, Fmt("hCoP=%u", hCop));
    if (rc == PDU_STATUS_NOERROR && waitMs != 0 && !WaitFinished(hCop, waitMs))
      Note(Fmt("  (no FINISHED item within %u ms)", waitMs));
    return hCop;
  }
  void Status(uint32_t h, uint32_t hCop) {
    T_PDU_STATUS s = 0;
    UNUM32 ts = 0;
    UNUM32 extra = 0;
    const T_PDU_ERROR rc = PDUGetStatus(kMod, h, hCop, &s, &ts, &extra);
    Call(Fmt("PDUGetStatus(1, %u, %u)", h, hCop), rc,
         Fmt("status=0x%04X timestamp=%s extra=%u", s, Ts(ts).c_str(), extra));
  }
  void LastError(uint32_t h) {
    T_PDU_ERR_EVT code = 0;
    UNUM32 hCop = 0;
    UNUM32 ts = 0;
    UNUM32 extra = 0;
    const T_PDU_ERROR rc = PDUGetLastError(kMod, h, &code, &hCop, &ts, &extra);
    Call(Fmt("PDUGetLastError(1, %u)", h), rc,
         Fmt("code=0x%08X hCoP=%u timestamp=%s extra=%u", code, hCop, Ts(ts).c_str(), extra));
  }
  uint32_t ObjectId(uint32_t type, const char* name) {
    uint32_t id = 0;
    const T_PDU_ERROR rc = PDUGetObjectId(type, const_cast<CHAR8*>(name), &id);
    Call(Fmt("PDUGetObjectId(0x%04X, %s)", type, name), rc, Fmt("id=%u", id));
    return id;
  }
  void SetU32(uint32_t h, const char* name, uint32_t value) {
    const uint32_t id = ObjectId(PDU_OBJT_COMPARAM, name);
    PDU_PARAM_ITEM item{PDU_IT_PARAM, id, PDU_PT_UNUM32, PDU_PC_TIMING, &value};
    Call(Fmt("PDUSetComParam(1, %u, %s=%u)", h, name, value), PDUSetComParam(kMod, h, &item));
  }
  void GetU32(uint32_t h, const char* name) {
    const uint32_t id = ObjectId(PDU_OBJT_COMPARAM, name);
    PDU_PARAM_ITEM* item = nullptr;
    const T_PDU_ERROR rc = PDUGetComParam(kMod, h, id, &item);
    std::string out;
    if (rc == PDU_STATUS_NOERROR && item != nullptr) {
      uint32_t v = 0;
      if (item->pComParamData != nullptr) std::memcpy(&v, item->pComParamData, 4);
      out = Fmt("type=0x%04X class=0x%04X value=%u", item->ComParamDataType, item->ComParamClass, v);
      PDUDestroyItem(reinterpret_cast<PDU_ITEM*>(item));
    }
    Call(Fmt("PDUGetComParam(1, %u, %s)", h, name), rc, out);
  }
  void IoCtl(uint32_t h, const char* name) {
    const uint32_t id = ObjectId(PDU_OBJT_IO_CTRL, name);
    PDU_DATA_ITEM* out = nullptr;
    const T_PDU_ERROR rc = PDUIoCtl(kMod, h, id, nullptr, &out);
    std::string text;
    if (out != nullptr) {
      text = Fmt("item type=0x%04X", out->ItemType);
      if (out->pData != nullptr) text += Fmt(" value=%u", *static_cast<uint32_t*>(out->pData));
      PDUDestroyItem(reinterpret_cast<PDU_ITEM*>(out));
    }
    Call(Fmt("PDUIoCtl(1, %u, %s)", h, name), rc, text);
  }
  // ---- VCI answers ----------------------------------------------------
  // A COP handler that answers the command and then sends each message as
  // vehicle data (uniqueId 1), delayMs apart.
  static TestVci::Handler Ecu(std::vector<Bytes> messages, uint32_t delayMs = 0) {
    return [messages, delayMs](const VciFrame&) {
      std::vector<VciReply> r{TestVci::Answer(kCmdCop, 0)};
      for (const Bytes& m : messages) {
        VciReply v = TestVci::VehicleData(0, 0, 1, m);
        v.delayMs = delayMs;
        r.push_back(v);
      }
      return r;
    };
  }

  // ---- finishing --------------------------------------------------------
  std::vector<std::string> DescribeFrame(const VciFrame& f) const {
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

  // Destructs (if the scenario did not), assembles the transcript and
  // compares it with (or records it as) tests/golden/<name>.txt.
  void Check(const std::string& name) {
    PDUDestruct();
    const uint32_t tickHi = platform::ClockTicks();
    const log::LogFileNames files = log::CurrentLogFileNames();
    std::vector<std::string> t;
    t.push_back("# golden transcript: " + name);
    t.push_back("## calls");
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
    auto addLog = [&](const char* title, const std::string& path) {
      t.push_back(std::string("## ") + title);
      std::string line;
      for (const std::string& raw : SplitLines(test::ReadFile(path)))
        if (NormaliseLogLine(raw, tickHi, line)) t.push_back(line);
    };
    // The receive thread's lines of the main log interleave with the
    // engine's and the API's at the pace the pseudo-terminal delivers: they
    // get a section of their own, each section in its own thread's order.
    std::vector<std::string> engineLines;
    std::vector<std::string> receiveLines;
    {
      std::string line;
      for (const std::string& raw : SplitLines(test::ReadFile(files.main))) {
        if (!NormaliseLogLine(raw, tickHi, line)) continue;
        (FromReceiveThread(line) ? receiveLines : engineLines).push_back(line);
      }
    }
    t.push_back("## main log");
    t.insert(t.end(), engineLines.begin(), engineLines.end());
    t.push_back("## main log, receive thread");
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
      FILE* f = std::fopen(path.c_str(), "wb");
      ASSERT_NE(f, nullptr) << path;
      std::fwrite(actual.data(), 1, actual.size(), f);
      std::fclose(f);
      std::printf("recorded %s (%zu lines, %zu in full)\n", path.c_str(), SplitLines(actual).size(), t.size());
      return;
    }
    if (!test::FileExists(path)) {
      FAIL() << path << " does not exist; record it with tools/record-golden";
    }
    const std::vector<std::string> expected = ExpandTranscript(SplitLines(test::ReadFile(path)), prologue);
    const std::string diff = UnifiedDiff(expected, t, "tests/golden/" + name + ".txt (expected)", "actual");
    EXPECT_TRUE(diff.empty()) << "the transcript differs from tests/golden/" << name
                              << ".txt (re-record with tools/record-golden when the change is intended):\n"
                              << diff;
  }

  // The main-log lines the port's receive thread writes as it splits the
  // incoming bytes into frames and queues them.
  static bool FromReceiveThread(const std::string& line) {
    static const char* const kPrefixes[] = {
        "recv buffer", "recv resync", "recv frame longer than", "---------recv date from car",
        "---------recv other date from hardware", "vehicle-data queue full", "answer queue full", "show data = ",
        "read <port> failed"};
    for (const char* p : kPrefixes)
      if (line.rfind(p, 0) == 0) return true;
    return false;
  }

  // Tick values become "<t>", the callback's address "<fn>", other
  // addresses "<addr>". The "recv buffer = " and "--4" lines follow the
  // reads of the port: how the VCI's bytes split into reads is up to the
  // pseudo-terminal, so they are dropped (false); the frames they carried
  // follow as "show data" lines.
  bool NormaliseLogLine(const std::string& raw, uint32_t tickHi, std::string& line) const {
    line = raw;
    if (line.rfind("recv buffer = ", 0) == 0 || line == "--4") return false;
    static const char* const kAddressKeys[] = {"$", "thread = ", "pDLCPinData = ", "pdu_result_data = "};
    for (const char* key : kAddressKeys) {
      const size_t klen = std::strlen(key);
      for (size_t p = line.find(key); p != std::string::npos; p = line.find(key, p + klen)) {
        size_t e = p + klen;
        size_t d = e;
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

  test::TempHome home_;
  std::unique_ptr<TestVci> vci_;
  std::unique_ptr<test::ScopedPorts> ports_;
  uint32_t tickLo_ = 0;

  std::mutex m_;
  std::condition_variable cv_;
  std::vector<std::string> calls_;
  std::vector<std::string> callbacks_;
  std::vector<uint32_t> finished_;
  std::vector<std::pair<uint32_t, uint32_t>> linkStatus_;
  int inCallback_ = 0;
};

// ---- scenarios ----------------------------------------------------------

TEST_F(GoldenTest, ConstructionAndProbe) {
  vci_->SetOpenWord(0x00010203);
  Construct();
  PDU_VERSION_DATA v{};
  const T_PDU_ERROR rc = PDUGetVersion(kMod, &v);
  Call("PDUGetVersion(1)", rc,
       Fmt("hw=%s/%u fw=%s/%u vendor=%s api=%s/%u/%u parts=%u,%u", v.HwName, v.HwVersion, v.FwName, v.FwVersion,
           v.VendorName, v.PDUApiSwName, v.PDUApiSwVersion, v.PDUApiSwDate, v.MVCI_Part1StandardVersion,
           v.MVCI_Part2StandardVersion));
  PDU_MODULE_ITEM* mods = nullptr;
  const T_PDU_ERROR mrc = PDUGetModuleIds(&mods);
  std::string modText;
  if (mods != nullptr) {
    modText = Fmt("type=0x%04X n=%u", mods->ItemType, mods->NumEntries);
    for (uint32_t i = 0; i < mods->NumEntries; ++i) {
      const PDU_MODULE_DATA& d = mods->pModuleData[i];
      modText += Fmt(" [typeId=%u hMod=%u name=%s info=%s status=0x%04X]", d.ModuleTypeId, d.hMod,
                     d.pVendorModuleName ? d.pVendorModuleName : "null",
                     d.pVendorAdditionalInfo ? d.pVendorAdditionalInfo : "null", d.ModuleStatus);
    }
    PDUDestroyItem(reinterpret_cast<PDU_ITEM*>(mods));
  }
  Call("PDUGetModuleIds()", mrc, modText);
  Status(PDU_HANDLE_UNDEF, PDU_HANDLE_UNDEF);
  UNUM32 ts = 0;
  const T_PDU_ERROR trc = PDUGetTimestamp(kMod, &ts);
  Call("PDUGetTimestamp(1)", trc, "timestamp=" + Ts(ts));
  Call("PDUModuleDisconnect(1)", PDUModuleDisconnect(kMod));
  Call("PDUModuleConnect(1)", PDUModuleConnect(kMod));
  LastError(PDU_HANDLE_UNDEF);
  ObjectId(PDU_OBJT_RESOURCE, "RSC_ISO_15765_3_on_ISO_15765_2_6_14");
  ObjectId(PDU_OBJT_PROTOCOL, "ISO_15765_3_on_ISO_15765_2");
  ObjectId(PDU_OBJT_BUSTYPE, "ISO_11898_2_DWCAN");
  ObjectId(PDU_OBJT_PINTYPE, "HI");
  ObjectId(PDU_OBJT_COMPARAM, "NO_SUCH_NAME");
  Destruct();
  Check("construction-and-probe");
}

// Create, read and write a ComParam, connect, disconnect, destroy.
class LinkLifecycle : public GoldenTest {
 protected:
  void Run(uint32_t resourceId, const char* name) {
    Construct();
    const uint32_t h = Link(resourceId, 0x1100);
    GetU32(h, "CP_P2Max");
    SetU32(h, "CP_P2Max", 250);
    Connect(h);
    Status(h, PDU_HANDLE_UNDEF);
    Disconnect(h);
    Destroy(h);
    Destruct();
    Check(name);
  }
};

TEST_F(LinkLifecycle, Iso15765) { Run(1001, "link-iso15765"); }
TEST_F(LinkLifecycle, Iso14230) { Run(1014, "link-iso14230"); }
TEST_F(LinkLifecycle, Tp20) { Run(1010, "link-tp20"); }
TEST_F(LinkLifecycle, Iso9141) { Run(1022, "link-iso9141"); }
TEST_F(LinkLifecycle, Tp16) { Run(1011, "link-tp16"); }
TEST_F(LinkLifecycle, RawCan) { Run(1006, "link-raw-can"); }
TEST_F(LinkLifecycle, J1850Vpw) { Run(1029, "link-j1850-vpw"); }

// ComPrimitives on an ISO 15765 link: requests go out to 0x7E0, answers
// come back from 0x7E8 (the four id bytes in front of the message).
class ComPrimitive : public GoldenTest {
 protected:
  uint32_t Online() {
    Construct();
    const uint32_t h = Link(1001, 0x2200);
    Connect(h);
    return h;
  }
  void Finish(uint32_t h, const char* name) {
    Disconnect(h);
    Destroy(h);
    Destruct();
    Check(name);
  }
};

// The shared prologue: only construction, the link and its end.
TEST_F(ComPrimitive, Prologue) { Finish(Online(), kPrologue); }

TEST_F(ComPrimitive, StartComm) {
  vci_->SetHandler(kCmdCop, Ecu({{0xE8, 0x07, 0x00, 0x00, 0x50, 0x03, 0x00, 0x32, 0x01, 0xF4}}));
  const uint32_t h = Online();
  const uint32_t c = Cop(h, PDU_COPT_STARTCOMM, {0x10, 0x03}, 1, 1, 0x31);
  Status(h, c);
  Finish(h, "cop-startcomm");
}

TEST_F(ComPrimitive, SendRecvPositive) {
  vci_->SetHandler(kCmdCop, Ecu({{0xE8, 0x07, 0x00, 0x00, 0x62, 0xF1, 0x90, 0x41, 0x42}}));
  const uint32_t h = Online();
  Cop(h, PDU_COPT_SENDRECV, {0x22, 0xF1, 0x90}, 1, 1, 0x32);
  Finish(h, "cop-sendrecv-positive");
}

TEST_F(ComPrimitive, SendRecvPending) {
  vci_->SetHandler(kCmdCop, Ecu({{0xE8, 0x07, 0x00, 0x00, 0x7F, 0x31, 0x78},
                              {0xE8, 0x07, 0x00, 0x00, 0x71, 0x01, 0xFF, 0x00}},
                             50));
  const uint32_t h = Online();
  Cop(h, PDU_COPT_SENDRECV, {0x31, 0x01, 0xFF, 0x00}, 1, 1, 0x33);
  Finish(h, "cop-sendrecv-pending");
}

TEST_F(ComPrimitive, SendRecvBusyRepeat) {
  vci_->SetHandler(kCmdCop, Ecu({{0xE8, 0x07, 0x00, 0x00, 0x62, 0x01, 0x00}}));
  vci_->Script(kCmdCop, {TestVci::Answer(kCmdCop, 0), TestVci::VehicleData(0, 0, 1, {0xE8, 0x07, 0x00, 0x00, 0x7F, 0x22, 0x21})});
  const uint32_t h = Online();
  Cop(h, PDU_COPT_SENDRECV, {0x22, 0x01, 0x00}, 1, 1, 0x34);
  Finish(h, "cop-sendrecv-busy-repeat");
}

TEST_F(ComPrimitive, SendRecvNoAnswer) {
  vci_->SetHandler(kCmdCop, Ecu({}));
  const uint32_t h = Online();
  SetU32(h, "CP_P2Max", 100);
  const uint32_t c = Cop(h, PDU_COPT_SENDRECV, {0x3E, 0x00}, 1, 1, 0x35);
  LastError(h);
  Status(h, c);
  Finish(h, "cop-sendrecv-no-answer");
}

TEST_F(ComPrimitive, SendRecvMultipleResponses) {
  vci_->SetHandler(kCmdCop, Ecu({{0xE8, 0x07, 0x00, 0x00, 0x41, 0x00, 0xBE, 0x3E, 0xB8, 0x11},
                              {0xE8, 0x07, 0x00, 0x00, 0x41, 0x00, 0x80, 0x00, 0x00, 0x01}},
                             10));
  const uint32_t h = Online();
  Cop(h, PDU_COPT_SENDRECV, {0x01, 0x00}, 1, -1, 0x36);
  Finish(h, "cop-sendrecv-multiple-responses");
}

TEST_F(ComPrimitive, StopComm) {
  vci_->SetHandler(kCmdCop, Ecu({{0xE8, 0x07, 0x00, 0x00, 0x50, 0x03}}));
  const uint32_t h = Online();
  Cop(h, PDU_COPT_STARTCOMM, {0x10, 0x03}, 1, 1, 0x37);
  vci_->SetHandler(kCmdCop, Ecu({{0xE8, 0x07, 0x00, 0x00, 0x50, 0x01}}));
  Cop(h, PDU_COPT_STOPCOMM, {0x10, 0x01}, 1, 1, 0x38);
  Finish(h, "cop-stopcomm");
}

TEST_F(ComPrimitive, UpdateParam) {
  vci_->SetHandler(kCmdCop, Ecu({{0xE8, 0x07, 0x00, 0x00, 0x7E, 0x00}}));
  const uint32_t h = Online();
  SetU32(h, "CP_P2Max", 400);
  Cop(h, PDU_COPT_UPDATEPARAM, {}, 1, 1, 0x39);
  GetU32(h, "CP_P2Max");
  Cop(h, PDU_COPT_SENDRECV, {0x3E, 0x00}, 1, 1, 0x3A);
  Finish(h, "cop-updateparam");
}

// The same request on a K-line link (ISO 14230): the answer comes with
// its format, target and source bytes in front.
TEST_F(ComPrimitive, SendRecvOnKLine) {
  vci_->SetHandler(kCmdCop, Ecu({{0x83, 0xF1, 0x10, 0x62, 0xF1, 0x90}}));
  Construct();
  const uint32_t h = Link(1014, 0x2300);
  Connect(h);
  Cop(h, PDU_COPT_STARTCOMM, {0x81}, 1, 1, 0x3B);
  Cop(h, PDU_COPT_SENDRECV, {0x22, 0xF1, 0x90}, 1, 1, 0x3C);
  Finish(h, "cop-sendrecv-kline");
}

TEST_F(GoldenTest, IoControl) {
  vci_->SetBatteryMillivolts(12340);
  vci_->SetIgnitionState(1);
  Construct();
  IoCtl(PDU_HANDLE_UNDEF, "PDU_IOCTL_READ_VBATT");
  IoCtl(PDU_HANDLE_UNDEF, "PDU_IOCTL_READ_IGNITION_SENSE_STATE");
  vci_->SetBatteryMillivolts(0);
  vci_->SetIgnitionState(0);
  IoCtl(PDU_HANDLE_UNDEF, "PDU_IOCTL_READ_VBATT");
  IoCtl(PDU_HANDLE_UNDEF, "PDU_IOCTL_READ_IGNITION_SENSE_STATE");
  vci_->SetStatus(kCmdIoCtl, 0x23);
  IoCtl(PDU_HANDLE_UNDEF, "PDU_IOCTL_READ_VBATT");
  Destruct();
  Check("ioctl-vbatt-ignition");
}

// Faults of the VCI and the line.
class Fault : public ComPrimitive {};

TEST_F(Fault, BadChecksum) {
  const uint32_t h = Online();
  TestVci* vci = vci_.get();
  vci_->SetHandler(kCmdCop, [vci](const VciFrame&) {
    // A vehicle-data frame whose checksum is one off goes out first: the
    // library drops it and takes the good answer behind it.
    Bytes bad = TestVci::WireFrame(0x12, 0x07, 0x1E, TestVci::Words({0, 0, 1, 6, 0x000007E8, 0x0000007F}));
    bad[bad.size() - 2] = static_cast<uint8_t>(bad[bad.size() - 2] == 0x01 ? 0x02 : 0x01);
    vci->InjectRaw(bad);
    return std::vector<VciReply>{TestVci::Answer(kCmdCop, 0),
                                 TestVci::VehicleData(0, 0, 1, {0xE8, 0x07, 0x00, 0x00, 0x7E, 0x00})};
  });
  Cop(h, PDU_COPT_SENDRECV, {0x3E, 0x00}, 1, 1, 0x43);
  Finish(h, "fault-bad-checksum");
}

TEST_F(Fault, Garbage) {
  const uint32_t h = Online();
  TestVci* vci = vci_.get();
  vci_->SetHandler(kCmdCop, [vci](const VciFrame& f) {
    // Line noise (with a stray flag and a broken escape) ahead of the answer.
    vci->InjectRaw({0x00, 0xFF, 0x13, 0x37, 0x55, 0xAA, 0x7E, 0x7D, 0x01});
    return Ecu({{0xE8, 0x07, 0x00, 0x00, 0x7E, 0x00}})(f);
  });
  Cop(h, PDU_COPT_SENDRECV, {0x3E, 0x00}, 1, 1, 0x44);
  Finish(h, "fault-garbage");
}

TEST_F(Fault, Unplug) {
  const uint32_t h = Online();
  vci_->HangUp();
  Settle();  // the receive thread logs the failed read
  Cop(h, PDU_COPT_SENDRECV, {0x3E, 0x00}, 1, 1, 0x45);
  LastError(h);
  IoCtl(PDU_HANDLE_UNDEF, "PDU_IOCTL_READ_VBATT");
  Destroy(h);
  Destruct();
  Check("fault-unplug");
}

}  // namespace
}  // namespace pdu::golden
