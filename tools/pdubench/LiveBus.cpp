// The module on a live bus: a raw CAN link listens (a SENDRECV with
// NumReceiveCycles -1) while the simulated bus sends a frame every
// millisecond, each with a counter byte. The application polls its items
// as fast as it likes; the figures are the frames per second it received,
// how many the counters say were lost on the way, and how long PDUDestruct
// takes while the stream still runs (it must end the listening loop and
// send CLOSE within the CLOSE wait, 1000 ms, plus 100 ms).
#include <cstdio>
#include <string>

#include "BenchModule.h"
#include "Scenarios.h"
#include "pdu_api.h"
#include "platform/Platform.h"

namespace pdubench {

namespace {

constexpr char kRawResource[] = "RSC_ISO_11898_RAW_6_14";
// The bus sends 1000 frames/s; a module that keeps up receives them all.
constexpr double kReceiveTargetPerSecond = 900.0;
constexpr double kDestructTargetMs = 1100.0;

void PDU_CALL Quiet(T_PDU_EVT_DATA, UNUM32, UNUM32, void*, void*) {}

struct Counted {
  uint64_t results = 0;
  uint64_t lost = 0;  // gaps in the 1 ms source's counter
  int last = -1;
};

void Drain(uint32_t hCLL, Counted& c) {
  PDU_EVENT_ITEM* ev = nullptr;
  while (PDUGetEventItem(kMod, hCLL, &ev) == PDU_STATUS_NOERROR && ev != nullptr) {
    if (ev->ItemType == PDU_IT_RESULT) {
      const auto* r = static_cast<const PDU_RESULT_DATA*>(ev->pData);
      // C1 00 00 00 (the identifier word), then eight data bytes whose
      // last one counts.
      if (r->NumDataBytes == 12 && r->pDataBytes[0] == 0xC1) {
        ++c.results;
        const int n = r->pDataBytes[11];
        if (c.last >= 0) c.lost += static_cast<uint64_t>((n - c.last - 1 + 256) % 256);
        c.last = n;
      }
    }
    PDUDestroyItem(reinterpret_cast<PDU_ITEM*>(ev));
    ev = nullptr;
  }
}

}  // namespace

void RunLiveBus(const BenchOptions& o, Report& report) {
  vcisim::Scenario scenario = vcisim::DefaultScenario();
  vcisim::TrafficSource fast;
  fast.name = "engine speed";
  fast.id = 0x0C1;
  fast.data = {0x12, 0x34, 0, 0, 0, 0, 0, 0};
  fast.periodMs = 1;
  fast.counter = true;
  scenario.traffic.push_back(fast);
  BenchVci vci(scenario);
  std::string why;
  if (!vci.Start(why)) {
    report.Broken("livebus", why);
    return;
  }
  BenchModule module(o.dataDir, vci.Path());
  if (!module.Open(false, why)) {
    report.Broken("livebus", why);
    return;
  }
  UNUM32 resourceId = PDU_ID_UNDEF;
  UNUM32 hCLL = 0;
  PDUGetObjectId(PDU_OBJT_RESOURCE, const_cast<CHAR8*>(kRawResource), &resourceId);
  if (PDUCreateComLogicalLink(kMod, nullptr, resourceId, nullptr, &hCLL, nullptr) != PDU_STATUS_NOERROR ||
      PDURegisterEventCallback(kMod, hCLL, Quiet) != PDU_STATUS_NOERROR ||
      PDUConnect(kMod, hCLL) != PDU_STATUS_NOERROR) {
    report.Broken("livebus", "no raw CAN link");
    return;
  }
  uint8_t listen[] = {0xFF, 0x07, 0x00, 0x00};  // 0x7FF, no data: nobody answers it
  PDU_COP_CTRL_DATA ctrl{};
  ctrl.NumSendCycles = 1;
  ctrl.NumReceiveCycles = -1;
  UNUM32 hCoP = 0;
  if (PDUStartComPrimitive(kMod, hCLL, PDU_COPT_SENDRECV, sizeof listen, listen, &ctrl, nullptr, &hCoP) !=
      PDU_STATUS_NOERROR) {
    report.Broken("livebus", "PDUStartComPrimitive failed");
    return;
  }
  Counted c;
  // Let the stream start, then count over a whole window.
  const uint64_t warmEnd = NowNs() + 200000000ull;
  while (NowNs() < warmEnd) {
    Drain(hCLL, c);
    pdu::platform::SleepMs(2);
  }
  const Counted start = c;
  const uint64_t t0 = NowNs();
  const uint64_t window = static_cast<uint64_t>((o.quick ? 0.5 : 3.0) * 1e9);
  while (NowNs() - t0 < window) {
    Drain(hCLL, c);
    pdu::platform::SleepMs(2);
  }
  Drain(hCLL, c);
  const double seconds = static_cast<double>(NowNs() - t0) / 1e9;
  const uint64_t got = c.results - start.results;

  const uint64_t d0 = NowNs();
  const T_PDU_ERROR destructed = PDUDestruct();
  const double destructMs = static_cast<double>(NowNs() - d0) / 1e6;
  module.Close();
  vci.Stop();
  if (destructed != PDU_STATUS_NOERROR) {
    report.Broken("livebus", "PDUDestruct failed");
    return;
  }
  char note[160];
  std::snprintf(note, sizeof note, "1 ms source, %llu frames in %.1f s, polled every 2 ms",
                static_cast<unsigned long long>(got), seconds);
  report.AtLeast("livebus_receive", static_cast<double>(got) / seconds, "frames/s", kReceiveTargetPerSecond, note);
  report.AtMost("livebus_lost", static_cast<double>(c.lost - start.lost), "", 0,
                "gaps in the source's counter while counting");
  report.AtMost("livebus_destruct", destructMs, "ms", kDestructTargetMs,
                "PDUDestruct while the stream runs: ends the loop, sends CLOSE");
}

}  // namespace pdubench
