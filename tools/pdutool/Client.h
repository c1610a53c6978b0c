// pdutool's way of talking to a D-PDU library: every call's status is
// checked and named, events are fetched when the callback says so (or by
// polling), and everything that happens is written both as readable text
// (unless --json) and into the JSON document printed at the end.
//
// Threads: the library calls OnEvent on its own thread; OnEvent only wakes
// the main thread, which does every API call itself.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "HexBytes.h"
#include "PduLibrary.h"
#include "TraceFile.h"

namespace pdutool {

struct ClientOptions {
  bool json = false;
  bool poll = false;         // poll PDUGetEventItem instead of waiting for the callback
  uint32_t waitMs = 20000;   // longest wait for one ComPrimitive to finish
  bool timeAbs = false;      // --time abs: wall-clock times in the transcript
  std::string traceFile;     // --trace FILE: requests and answers in candump log format
};

// Wakes every wait for events (used by the signal watcher).
void WakeEventWaiters();

// The pause before the next PDUGetEventItem while a ComPrimitive runs. The
// library calls back only when a ComPrimitive starts and ends, not for each
// frame it receives, and a frame's time is taken when it is fetched
// (StampNow): so items are polled, the one accepted wait by timer in this
// tool. 1 ms after a poll that found items (a busy bus sends a frame every
// millisecond), doubling to at most 20 ms while none come; the callback
// still ends a pause at once.
class PollPacer {
 public:
  std::chrono::milliseconds Next(bool found) {
    pause_ = found ? std::chrono::milliseconds(1) : std::min(pause_ * 2, std::chrono::milliseconds(20));
    return pause_;
  }

 private:
  std::chrono::milliseconds pause_{1};
};

// Exit codes of pdutool.
enum ExitCode : int {
  kExitOk = 0,
  kExitCallFailed = 1,     // an API call returned a failure status
  kExitUsage = 2,
  kExitNoLibrary = 3,
  kExitPrimitiveFailed = 4,  // a ComPrimitive ended with an error or did not finish
};

class Client {
 public:
  Client(PduLibrary& lib, ClientOptions options, nlohmann::json& doc);

  const PduFunctions& Fn() const { return lib_.Fn(); }
  UNUM32 hMod() const { return hMod_; }

  // Checks a call's status: logs the failure (call name and status name)
  // and returns false when it is not PDU_STATUS_NOERROR.
  bool Check(const char* call, T_PDU_ERROR status);

  // Quiet: no transcript of the ComPrimitives (scan prints a summary).
  void SetQuiet(bool quiet) { quiet_ = quiet; }
  // Text output (suppressed with --json or while quiet).
  void Say(const char* format, ...) __attribute__((format(printf, 2, 3)));

  // PDUConstruct, PDUGetModuleIds (fills the document's "modules" and
  // hMod), PDUModuleConnect. False when PDUConstruct failed or found no
  // VCI (then with the findings of pdutool doctor, Doctor.h).
  bool Open();
  // PDUModuleDisconnect and PDUDestruct.
  void Close();

  // Object id of a short name; PDU_ID_UNDEF when the module has none.
  UNUM32 ObjectId(T_PDU_OBJT type, const std::string& name);

  // Registers the callback (also in --poll mode, see docs/pdutool.md) for
  // a link, or unregisters it with null.
  void RegisterCallback(UNUM32 hCLL, bool on);

  // Starts one ComPrimitive and collects its events until FINISHED or the
  // wait runs out. Returns its JSON record (also appended to
  // "primitives"); status is "FINISHED", "ERROR", "TIMEOUT", "NO_RESPONSE"
  // (a SENDRECV that finished without any answer but "response pending")
  // or "CANCELLED" (a stop was requested, or Ctrl-C at the shell, while it
  // ran; it is cancelled and its later items are labelled abandoned).
  // A cleanup primitive (the STOPCOMM of a stopping run) is waited for
  // even after a stop request, at most 6 s.
  nlohmann::json RunPrimitive(UNUM32 hCLL, T_PDU_COPT type, const std::vector<uint8_t>& request,
                              int32_t receiveCycles, bool cleanup = false);

  // The bytes of the last answer of the last SENDRECV (not counting
  // "response pending"); empty when it had none.
  const std::vector<uint8_t>& LastAnswer() const { return lastAnswer_; }

  // Fetches whatever events of the link are waiting now (link status
  // events land in "linkEvents"), waiting up to waitMs for the first.
  void CollectLinkEvents(UNUM32 hCLL, uint32_t waitMs);

  // The first failure, for the document's "error".
  void SetError(const std::string& text);
  const ClientOptions& Options() const { return options_; }
  // Waits until the callback fired, a stop or interrupt was requested, or
  // the deadline passed (poll mode: a short pause).
  void WaitEvents(std::chrono::steady_clock::time_point deadline) { WaitForEvents(deadline); }
  // Says once, on stderr and in the document's "vciLost": "VCI lost on
  // PORT (reason)". Called for the error item of lost communication to
  // the VCI (0x106, extra info: the system error), and for a call that
  // answers PDU_ERR_COMM_PC_TO_VCI_FAILED after the VCI was found.
  void NoteVciLost(const std::string& reason);
  // Checks the status of a call that needs the VCI (an I/O control, the
  // module disconnect) for a lost VCI.
  void CheckIoCtlStatus(T_PDU_ERROR status);
  bool VciLost() const { return vciLost_; }
  // The shell's per-command --wait.
  void SetWaitMs(uint32_t ms) { options_.waitMs = ms; }
  // Fetches whatever events of the link are queued now, without waiting
  // (items of abandoned requests among them).
  void DrainPending(UNUM32 hCLL);
  // Requests cancelled by Ctrl-C whose end the library has not reported.
  bool HasAbandoned() const { return !abandoned_.empty(); }
  // The last link status item (PDU_CLLST_*) seen for the link, 0 before
  // any: after PDU_CLLST_OFFLINE (its disconnect, or the library giving up
  // a lost VCI) the shell knows the link is no longer connected.
  UNUM32 LastLinkStatus(UNUM32 hCLL) const {
    auto it = linkStatus_.find(hCLL);
    return it == linkStatus_.end() ? 0 : it->second;
  }
  // A link of a raw CAN resource: its requests and results are frames
  // (identifier word, data), traced as such, and each SENDRECV is a
  // receive window of its own; the frames that pass between two windows
  // are not received (counted in the document's "windowGaps").
  void MarkRawLink(UNUM32 hCLL) { rawLinks_.insert(hCLL); }
  bool IsRawLink(UNUM32 hCLL) const { return rawLinks_.count(hCLL) != 0; }
  uint64_t WindowGaps() const { return windowGaps_; }
  bool Failed() const { return !doc_["failures"].empty() || doc_.contains("error"); }

 private:
  using Clock = std::chrono::steady_clock;
  // Waits until the callback fired or the deadline passed (poll mode: a
  // short pause); also when a stop (onStop) or an interrupt (onInterrupt)
  // is requested. A loop that goes on after a stop or an interrupt (the
  // cleanup's STOPCOMM, the link's status events) must not wake for it:
  // the request stays set, and every later wait would return at once.
  void WaitForEvents(Clock::time_point deadline, bool onStop = true, bool onInterrupt = true);
  // Drains the link's event queue into prim (may be null for link events).
  // Returns true when the FINISHED item of hCoP was seen.
  bool Drain(UNUM32 hCLL, UNUM32 hCoP, nlohmann::json* prim, Clock::time_point start);
  void PrintItem(const nlohmann::json& ev);
  bool ReportNoVci();
  // After a request ended in RX_TIMEOUT: a VCI that does not answer a
  // command of its own is reported lost.
  void CheckVciAnswers();
  // The link's request and response CAN identifiers for the trace (000
  // and 001 when it has none), asked once per link.
  std::pair<uint32_t, uint32_t> TraceIds(UNUM32 hCLL);
  bool ComParamValue(UNUM32 hCLL, const char* name, uint32_t& value);

  PduLibrary& lib_;
  ClientOptions options_;
  nlohmann::json& doc_;
  // "+  12 ms" since start, or the wall-clock time with --time abs.
  std::string TimeText(long sinceStartMs) const;

  UNUM32 hMod_ = 1;
  bool constructed_ = false;
  std::map<UNUM32, UNUM32> linkStatus_;
  std::vector<uint8_t> lastAnswer_;
  bool quiet_ = false;
  bool vciLost_ = false;
  std::string vciPort_;  // set once the VCI was found (Open)
  std::set<UNUM32> abandoned_;  // hCoP of requests cancelled at the shell
  TraceFile trace_;
  // Writes a request (transmit) or an answer of the link to the trace.
  void TraceData(UNUM32 hCLL, const std::vector<uint8_t>& data, bool transmit, double stamp);
  std::set<UNUM32> rawLinks_;
  std::map<UNUM32, std::string> copTypes_;  // hCoP -> "SENDRECV", "STOPCOMM", ...
  std::set<UNUM32> windowOpened_;  // raw links that ran a SENDRECV
  uint64_t windowGaps_ = 0;
  std::map<UNUM32, std::pair<uint32_t, uint32_t>> traceIds_;
};

// Upper-case hex with a blank between bytes, as --json prints data.
inline std::string Hex(const uint8_t* data, size_t n) { return hexbytes::HexSpaced(data, n); }
// The bytes of Hex()'s text.
inline std::vector<uint8_t> ParseHexText(const std::string& text) {
  return hexbytes::ParseHex(text).value_or(hexbytes::Bytes{});
}

}  // namespace pdutool
