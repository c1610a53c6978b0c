// The golden-transcript runner: a fixture that drives the exported
// functions in-process against the test VCI and records every call, every
// callback and item, every frame on the wire and the three logs into one
// transcript (Transcript.h), compared with tests/golden/<scenario>.txt.
#pragma once

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
#include "engine/ModuleState.h"
#include "log/PduLog.h"
#include "pdu_api.h"
#include "platform/Clock.h"
#include "platform/Platform.h"
#include "support/TempHome.h"
#include "support/TestVci.h"
#include "support/WireCodes.h"

namespace pdu::golden {

using test::Bytes;
using test::TestVci;
using test::VciFrame;
using test::VciReply;

using test::kCmdCop;
using test::kCmdIoCtl;

// The name of a VCI command code, for the transcript.
const char* CommandName(uint8_t command);
inline constexpr uint32_t kMod = 1;
// The scenario whose transcript the others share (Transcript.h).
inline constexpr const char* kPrologue = "prologue";
inline void* const kApiTag = reinterpret_cast<void*>(0xA0A0);

std::string Fmt(const char* fmt, ...) PDU_PRINTF(1, 2);
std::string Tag(const void* p);
std::string HexOf(const Bytes& b);

class GoldenTest;
// The running scenario, reached by the callback.
extern GoldenTest* g_current;

class GoldenTest : public ::testing::Test {
 protected:
  void SetUp() override {
    home_.CopyData("MDF.xml");
    home_.SetLogSwitch("1");
    vci_ = std::make_unique<TestVci>();
    // The VCI has installed its clock: ticks from here on are far from
    // every number the transcripts hold, whatever the machine's uptime.
    tickLo_ = platform::ClockTicks();
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
  static void PDU_CALL Callback(T_PDU_EVT_DATA evt, UNUM32 hMod, UNUM32 hCLL, void* cllTag, void* apiTag);

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
  std::vector<std::string> DescribeItem(const PDU_EVENT_ITEM* ev) const;
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
  // logs its last line of the job ("CallbackThread quit") a moment later.
  // A queue pass of the engine that begins after the callback returned
  // ends after that line, so the next API call's log lines come after it
  // however slow the machine (a sanitizer build beside other tests).
  void Settle() {
    WaitUntil([&] { return inCallback_ == 0; }, 3000);
    engine::ModuleState& m = engine::Module();
    if (m.EngineThreadRunning()) m.WaitWakeHandled(m.WakeEngine(), 3000);
  }
  // The receive thread has no such mark: a failed read is logged within
  // milliseconds of the line's end; 40 ms is the margin.
  void SettleReceiveThread() { WaitUntil([] { return false; }, 40); }
  bool WaitFinished(uint32_t hCop, uint32_t timeoutMs) {
    const bool ok = WaitUntil(
        [&] { return std::find(finished_.begin(), finished_.end(), hCop) != finished_.end(); }, timeoutMs);
    Settle();
    return ok;
  }
  bool WaitLinkStatus(uint32_t hCLL, uint32_t status, uint32_t timeoutMs) {
    const std::pair<uint32_t, uint32_t> want{hCLL, status};
    const bool ok = WaitUntil(
        [&] { return std::find(linkStatus_.begin(), linkStatus_.end(), want) != linkStatus_.end(); }, timeoutMs);
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
  // The usual end: disconnect, destroy, destruct, compare the transcript.
  void Finish(uint32_t h, const char* name) {
    Disconnect(h);
    Destroy(h);
    Destruct();
    Check(name);
  }

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
    UNUM32 ts = 0, extra = 0;
    const T_PDU_ERROR rc = PDUGetStatus(kMod, h, hCop, &s, &ts, &extra);
    Call(Fmt("PDUGetStatus(1, %u, %u)", h, hCop), rc,
         Fmt("status=0x%04X timestamp=%s extra=%u", s, Ts(ts).c_str(), extra));
  }
  void LastError(uint32_t h) {
    T_PDU_ERR_EVT code = 0;
    UNUM32 hCop = 0, ts = 0, extra = 0;
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
  std::vector<std::string> DescribeFrame(const VciFrame& f) const;

  // Destructs (if the scenario did not), assembles the transcript and
  // compares it with (or records it as) tests/golden/<name>.txt.
  void Check(const std::string& name);

  // The main-log lines the port's receive thread writes as it splits the
  // incoming bytes into frames and queues them.
  static bool FromReceiveThread(const std::string& line);

  // Tick values become "<t>", the callback's address "<fn>", other
  // addresses "<addr>". The "recv buffer = " and "--4" lines follow the
  // reads of the port: how the VCI's bytes split into reads is up to the
  // pseudo-terminal, so they are dropped (false); the frames they carried
  // follow as "show data" lines.
  bool NormaliseLogLine(const std::string& raw, uint32_t tickHi, std::string& line) const;

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

}  // namespace pdu::golden
