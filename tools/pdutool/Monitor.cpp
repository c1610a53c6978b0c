// pdutool monitor: the frames of a raw CAN resource as candump -L lines.
//
// A D-PDU library receives only inside a ComPrimitive, and a SENDRECV
// always sends its request first: this module has no receive-only
// ComPrimitive on the raw CAN resource. So monitor is never silently
// active: without --listen FRAME it says what it would have to send and
// stops; with it, it runs SENDRECV(FRAME) again and again, each one
// opening the next receive window: endless (NumReceiveCycles -1, the
// module ends one after 50 ms of quiet) or, with --window TIME, for as
// many frames as the last window's rate gives in TIME.
//
// The frames that pass between two windows are not received. Each new
// window is such a gap: it is counted, and shown on stdout as a line
//
//   # receive window 3: frames between windows 2 and 3 were not received
//
// (never in the --log file, which holds frame lines only).
//
// Frames, in both directions, are the raw frames of TraceFile.h. Lines:
//
//   (1765041234.123000) link1 1A0#0102030405060708
//
// stamped when the frame is fetched (StampNow), the fetches paced by
// PollPacer (Client.h). --log FILE writes the same lines.
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

class Monitor {
 public:
  Monitor(Client& c, json& doc, const MonitorOptions& o) : c_(c), doc_(doc), o_(o) {}
  int Run();

 private:
  // One receive window; false when the monitor should end.
  bool Window(UNUM32 hCLL);
  void Print(const CanFrame& f, double stamp);
  // The receive cycles of the next window: -1 without --window; else the
  // last window's rate times the window's length, within 20..20000 (the
  // first window assumes a frame per millisecond).
  int32_t NextCycles() const;
  bool Done() const {
    return StopRequested() || (o_.count != 0 && printed_ >= o_.count) ||
           (o_.durationMs != 0 && Clock::now() >= end_);
  }

  Client& c_;
  json& doc_;
  const MonitorOptions& o_;
  Clock::time_point end_;
  uint64_t printed_ = 0;
  uint64_t windows_ = 0;
  uint64_t lastFrames_ = 0;  // frames of the last window, and its length
  double lastSeconds_ = 0;
  FILE* log_ = nullptr;
  bool windowOpen_ = false;  // a SENDRECV still runs
  bool lost_ = false;        // the VCI is gone
  UNUM32 hCLL_ = 0;
};

void Monitor::Print(const CanFrame& f, double stamp) {
  if (o_.count != 0 && printed_ >= o_.count) return;
  if (o_.mask != 0 && (f.id & o_.mask) != (o_.filter & o_.mask)) return;
  const std::string line = TraceFile::Line(stamp, "link" + std::to_string(hCLL_), f, nullptr);
  if (!o_.json) std::printf("%s\n", line.c_str());
  if (log_ != nullptr) std::fprintf(log_, "%s\n", line.c_str());
  ++printed_;
}

int32_t Monitor::NextCycles() const {
  if (o_.windowMs == 0) return -1;
  double perMs = 1.0;
  if (lastSeconds_ > 0.005 && lastFrames_ > 0) perMs = static_cast<double>(lastFrames_) / (lastSeconds_ * 1000.0);
  const double n = perMs * o_.windowMs;
  return static_cast<int32_t>(n < 20 ? 20 : n > 20000 ? 20000 : n);
}

bool Monitor::Window(UNUM32 hCLL) {
  const PduFunctions& fn = c_.Fn();
  PDU_COP_CTRL_DATA ctrl{};
  ctrl.NumSendCycles = 1;
  ctrl.NumReceiveCycles = NextCycles();
  std::vector<uint8_t> request = o_.listen;
  UNUM32 hCoP = PDU_HANDLE_UNDEF;
  if (!c_.Check("PDUStartComPrimitive", Invoke(fn.PDUStartComPrimitive, c_.hMod(), hCLL, PDU_COPT_SENDRECV,
                                               static_cast<UNUM32>(request.size()), request.data(), &ctrl, nullptr,
                                               &hCoP))) {
    return false;
  }
  windowOpen_ = true;
  if (++windows_ > 1) {
    doc_["windowGaps"] = windows_ - 1;
    if (!o_.json) {
      std::printf("# receive window %llu: frames between windows %llu and %llu were not received\n",
                  static_cast<unsigned long long>(windows_), static_cast<unsigned long long>(windows_ - 1),
                  static_cast<unsigned long long>(windows_));
    }
  }
  const auto opened = Clock::now();
  uint64_t frames = 0;
  PollPacer pacer;
  for (;;) {
    bool finished = false;
    bool found = false;
    for (;;) {
      PDU_EVENT_ITEM* item = nullptr;
      T_PDU_ERROR status = Invoke(fn.PDUGetEventItem, c_.hMod(), hCLL, &item);
      if (status != PDU_STATUS_NOERROR || item == nullptr) break;
      found = true;
      if (item->ItemType == PDU_IT_RESULT && item->pData != nullptr) {
        const auto* r = static_cast<const PDU_RESULT_DATA*>(item->pData);
        CanFrame f;
        if (DecodeRawFrame(r->pDataBytes, r->NumDataBytes, f)) {
          ++frames;
          Print(f, StampNow());
        }
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
      lastFrames_ = frames;
      lastSeconds_ = std::chrono::duration<double>(Clock::now() - opened).count();
      return !Done() && !lost_;
    }
    if (Done() || lost_) return false;
    auto deadline = Clock::now() + pacer.Next(found);
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
  const uint64_t gaps = windows_ > 1 ? windows_ - 1 : 0;
  doc_["windowGaps"] = gaps;
  doc_["ok"] = rc == kExitOk && !c_.Failed();
  if (!o_.json) {
    std::fprintf(stderr, "pdutool: monitor: %llu frame(s), %llu receive window gap(s)\n",
                 static_cast<unsigned long long>(printed_), static_cast<unsigned long long>(gaps));
  }
  return rc;
}

}  // namespace

int RunMonitor(Client& client, json& doc, const MonitorOptions& options) {
  Monitor monitor(client, doc, options);
  return monitor.Run();
}

}  // namespace pdutool
