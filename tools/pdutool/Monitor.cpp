// pdutool monitor: the frames of a raw CAN resource as candump -L lines.
//
// A D-PDU library receives only inside a ComPrimitive, and a SENDRECV
// always sends its request first: this module has no receive-only
// ComPrimitive on the raw CAN resource. So monitor is never silently
// active: without --listen FRAME it says what it would have to send and
// stops; with it, it runs SENDRECV(FRAME) with NumReceiveCycles -1 (keep
// receiving) again and again, each one opening the next receive window
// (the module ends one after 50 ms of quiet).
//
// A raw frame, in both directions: the identifier word (u32 little-endian,
// bit 31 set for a 29-bit identifier, bit 30 for a remote frame), then the
// 0 to 8 data bytes. Lines:
//
//   (1765041234.123000) link1 1A0#0102030405060708
//
// with the item's timestamp (the library's millisecond tick) placed on the
// wall clock of the first frame. --log FILE writes the same lines.
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "Commands.h"
#include "Names.h"
#include "Signals.h"
#include "TraceFile.h"
#include "VciPort.h"

namespace pdutool {

using nlohmann::json;

namespace {

using Clock = std::chrono::steady_clock;

double WallNow() {
  return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
}

struct Frame {
  uint32_t id = 0;
  bool extended = false;
  bool remote = false;
  std::vector<uint8_t> data;
};

bool DecodeRaw(const uint8_t* d, size_t n, Frame& f) {
  if (n < 4 || n > 12) return false;
  const uint32_t word = d[0] | d[1] << 8 | d[2] << 16 | static_cast<uint32_t>(d[3]) << 24;
  f.extended = (word & 0x80000000u) != 0;
  f.remote = (word & 0x40000000u) != 0;
  f.id = word & 0x1FFFFFFFu;
  f.data.assign(d + 4, d + n);
  return true;
}

class Monitor {
 public:
  Monitor(Client& c, json& doc, const MonitorOptions& o) : c_(c), doc_(doc), o_(o) {}
  int Run();

 private:
  // One receive window; false when the monitor should end.
  bool Window(UNUM32 hCLL);
  void Print(const Frame& f, uint32_t timestamp);
  bool Done() const {
    return StopRequested() || (o_.count != 0 && printed_ >= o_.count) ||
           (o_.durationMs != 0 && Clock::now() >= end_);
  }

  Client& c_;
  json& doc_;
  const MonitorOptions& o_;
  Clock::time_point end_;
  uint64_t printed_ = 0;
  bool anchored_ = false;
  double anchorWall_ = 0;
  uint32_t anchorTick_ = 0;
  FILE* log_ = nullptr;
  bool windowOpen_ = false;  // a SENDRECV still runs
  bool lost_ = false;        // the VCI is gone
  UNUM32 hCLL_ = 0;
};

void Monitor::Print(const Frame& f, uint32_t timestamp) {
  if (o_.count != 0 && printed_ >= o_.count) return;
  if (o_.mask != 0 && (f.id & o_.mask) != (o_.filter & o_.mask)) return;
  if (!anchored_) {
    anchored_ = true;
    anchorWall_ = WallNow();
    anchorTick_ = timestamp;
  }
  const double t = anchorWall_ + static_cast<int32_t>(timestamp - anchorTick_) / 1000.0;
  std::string line;
  if (f.remote) {
    char buf[64];
    std::snprintf(buf, sizeof buf, f.extended ? "(%.6f) link%u %08X#R" : "(%.6f) link%u %03X#R", t, hCLL_, f.id);
    line = buf;
  } else {
    // TraceFile::Line picks three or eight digits by the value; a 29-bit
    // identifier below 0x800 still needs eight.
    line = TraceFile::Line(t, "link" + std::to_string(hCLL_), f.id, f.data.data(), f.data.size(), nullptr);
    if (f.extended && f.id <= 0x7FF) {
      char id[16];
      std::snprintf(id, sizeof id, "%08X", f.id);
      const size_t hash = line.find('#');
      const size_t space = line.rfind(' ', hash);
      line = line.substr(0, space + 1) + id + line.substr(hash);
    }
  }
  if (!o_.json) std::printf("%s\n", line.c_str());
  if (log_ != nullptr) std::fprintf(log_, "%s\n", line.c_str());
  ++printed_;
}

bool Monitor::Window(UNUM32 hCLL) {
  const PduFunctions& fn = c_.Fn();
  PDU_COP_CTRL_DATA ctrl{};
  ctrl.NumSendCycles = 1;
  ctrl.NumReceiveCycles = -1;
  std::vector<uint8_t> request = o_.listen;
  UNUM32 hCoP = PDU_HANDLE_UNDEF;
  if (!c_.Check("PDUStartComPrimitive", Invoke(fn.PDUStartComPrimitive, c_.hMod(), hCLL, PDU_COPT_SENDRECV,
                                               static_cast<UNUM32>(request.size()), request.data(), &ctrl, nullptr,
                                               &hCoP))) {
    return false;
  }
  windowOpen_ = true;
  for (;;) {
    bool finished = false;
    for (;;) {
      PDU_EVENT_ITEM* item = nullptr;
      T_PDU_ERROR status = Invoke(fn.PDUGetEventItem, c_.hMod(), hCLL, &item);
      if (status != PDU_STATUS_NOERROR || item == nullptr) break;
      if (item->ItemType == PDU_IT_RESULT && item->pData != nullptr) {
        const auto* r = static_cast<const PDU_RESULT_DATA*>(item->pData);
        Frame f;
        if (r->pDataBytes != nullptr && DecodeRaw(r->pDataBytes, r->NumDataBytes, f)) Print(f, item->Timestamp);
      } else if (item->ItemType == PDU_IT_ERROR && item->pData != nullptr) {
        const auto* e = static_cast<const PDU_ERROR_DATA*>(item->pData);
        if (!o_.json) {
          std::fprintf(stderr, "pdutool: monitor: %s (extra info %u)\n", ErrorEventName(e->ErrorCodeId).c_str(),
                       e->ExtraErrorInfoId);
        }
        if (e->ErrorCodeId == 0x106) {  // lost communication to the VCI: its reason, not the later disconnect's
          lost_ = true;
          c_.NoteVciLost(e->ExtraErrorInfoId != 0 ? SystemErrorText(e->ExtraErrorInfoId) : "the port failed");
        }
      } else if (item->ItemType == PDU_IT_STATUS && item->pData != nullptr && item->hCop == hCoP &&
                 *static_cast<const UNUM32*>(item->pData) == PDU_COPST_FINISHED) {
        finished = true;
      }
      Invoke(fn.PDUDestroyItem, reinterpret_cast<PDU_ITEM*>(item));
    }
    std::fflush(stdout);
    if (finished) {
      windowOpen_ = false;
      return !Done() && !lost_;
    }
    if (Done() || lost_) return false;
    auto deadline = Clock::now() + std::chrono::milliseconds(200);
    if (o_.durationMs != 0 && end_ < deadline) deadline = end_;
    c_.WaitEvents(deadline);
  }
}

int Monitor::Run() {
  doc_["command"] = "monitor";
  const PduFunctions& fn = c_.Fn();
  if (!o_.logFile.empty()) {
    log_ = std::fopen(o_.logFile.c_str(), "w");
    if (log_ == nullptr) {
      c_.SetError("cannot write " + o_.logFile);
      return kExitUsage;
    }
  }
  if (!c_.Open()) {
    c_.Close();
    return kExitCallFailed;
  }
  // stdout carries the frames only.
  c_.SetQuiet(true);
  UNUM32 resourceId = c_.ObjectId(PDU_OBJT_RESOURCE, o_.resource);
  int rc = kExitOk;
  UNUM32 hCLL = PDU_HANDLE_UNDEF;
  PDU_FLAG_DATA noFlags{0, nullptr};
  if (resourceId == PDU_ID_UNDEF) {
    c_.SetError("the module knows no resource " + o_.resource);
    rc = kExitCallFailed;
  } else if (!c_.Check("PDUCreateComLogicalLink", Invoke(fn.PDUCreateComLogicalLink, c_.hMod(), nullptr, resourceId,
                                                         nullptr, &hCLL, &noFlags))) {
    rc = kExitCallFailed;
  } else {
    hCLL_ = hCLL;
    c_.RegisterCallback(hCLL, true);
    if (SetupLink(c_, doc_, hCLL, {}, o_.params) == kExitOk &&
        c_.Check("PDUConnect", Invoke(fn.PDUConnect, c_.hMod(), hCLL))) {
      c_.CollectLinkEvents(hCLL, 500);
      end_ = Clock::now() + std::chrono::milliseconds(o_.durationMs);
      while (Window(hCLL)) {
      }
      if (lost_) rc = kExitCallFailed;
    } else {
      rc = kExitCallFailed;
    }
    // A window still open keeps receiving as long as the bus talks; the
    // disconnect ends it on the VCI's side (the VCI stops forwarding the
    // link's frames), so that the receive loop sees quiet and PDUDestruct
    // is not left waiting behind it.
    Invoke(fn.PDUDisconnect, c_.hMod(), hCLL);
    c_.RegisterCallback(hCLL, false);
    Invoke(fn.PDUDestroyComLogicalLink, c_.hMod(), hCLL);
  }
  c_.Close();
  if (log_ != nullptr) std::fclose(log_);
  doc_["frames"] = printed_;
  doc_["ok"] = rc == kExitOk && !c_.Failed();
  if (!o_.json) std::fprintf(stderr, "pdutool: monitor: %llu frame(s)\n", static_cast<unsigned long long>(printed_));
  return rc;
}

}  // namespace

int RunMonitor(Client& client, json& doc, const MonitorOptions& options) {
  Monitor monitor(client, doc, options);
  return monitor.Run();
}

}  // namespace pdutool
