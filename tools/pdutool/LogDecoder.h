// The decoder behind pdutool decode-log (DecodeLog.cpp reads the files and
// follows them; this turns their lines into the transcript).
//
// The files (src/log's contract, their texts are fixed):
//   <date>.txt          main: a call is "PDUName <tick>", indented detail
//                       lines, "PDUName  <STATUS_NAME> <tick>"; between them
//                       the traffic of the call again ("Write
//                       Data_Original: ...", "recv buffer = ...") and
//                       internal notes (port search, I/O failures)
//   <date>_data.txt     one line per event item handed out by
//                       PDUGetEventItem: ">>>[hCLL  hCoP] status = X"
//                       (no tick), written inside that call
//   <date>_contact.txt  "<tick> >>>>>>>>>: <frame hex>" sent,
//                       "<tick> <<<<<<<<<: ..." received
//
// Sessions: every "PDUConstruct <tick>" starts a new one, numbered from 1
// in the order of the main log. A data log line goes with the
// PDUGetEventItem call that wrote it: the next data line whose link and
// ComPrimitive handles are the ones the call's item names (so a client
// killed between the two files' lines, or a day's several sessions, cannot
// shift the pairs); a data line no call claims is printed as it is.
//
// The receive thread's lines ("recv end", "reg = 0", ... a dozen per frame
// received) are folded into one count per ComPrimitive, shown when the next
// one starts or the session ends; its resynchronisation and dropped-frame
// lines stay visible. A session that ends without PDUDestruct (a killed
// client) says so and names its last request; a PDUConstruct inside another
// one's call, or a second PDUDestruct in one session, means two processes
// wrote the same files (their lines carry no process id).
//
// Nothing is dropped: every line is decoded (a call, its details, a frame
// placed by its copy in the main log, an event), or printed verbatim with
// "| " (notes, port search, I/O failures, anything unknown), or, for the
// library's internal bookkeeping lines inside a call (queue sizes, item
// fields already shown), folded into the call; the summary of a session
// counts them and --verbose prints them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

namespace pdutool {

struct DecodeFilter {
  int session = 0;       // 0: every session
  long sinceMs = -1;     // -1: from the start; else milliseconds of the day (local time)
  int link = 0;          // 0: every link
  bool json = false;       // one document (written as it goes with StreamTo)
  bool jsonLines = false;  // one JSON object per line: entries, then one per session
  bool verbose = false;    // also the folded lines
};

class LogDecoder {
 public:
  explicit LogDecoder(DecodeFilter filter) : f_(filter) {}

  // Wall clock: the newest modification time (ms since the epoch) goes
  // with the largest tick seen.
  void SetAnchor(double wallMs) { anchorWallMs_ = wallMs > anchorWallMs_ ? wallMs : anchorWallMs_; }

  // New lines of the three files, in file order; final: the files end here
  // (frames and data lines nothing placed are printed).
  void Feed(const std::vector<std::string>& main, const std::vector<std::string>& data,
            const std::vector<std::string>& contact, bool final);

  // --json: the document of everything fed.
  nlohmann::json Document() const;
  // The largest tick of the files, known before they are read to the end
  // (the wall-clock anchor goes with it).
  void NoteTick(uint32_t tick) { maxTick_ = tick > maxTick_ ? tick : maxTick_; }
  // Data-log lines read but not yet claimed by a call.
  size_t PendingEvents() const { return events_.size(); }
  // --json / --json-lines written to out as the entries come (no entry is
  // kept); CloseStream writes the sessions and line counts.
  void StreamTo(FILE* out);
  void CloseStream();
  // How many sessions the files hold (PDUConstruct calls seen so far).
  int SessionCount() const { return static_cast<int>(sessions_.size()); }

 private:
  struct ContactLine {
    uint32_t tick = 0;
    bool sent = false;
    std::string hex;
  };
  struct Session {
    int number = 0;
    uint32_t startTick = 0, endTick = 0;
    int requests = 0, errors = 0;
    std::string port;
    bool noVci = false;
    unsigned folded = 0;
    bool summarized = false;
    bool destructed = false;
    bool twoProcesses = false;
    std::string lastRequest;  // the last PDUStartComPrimitive's details and time
  };
  enum class Kind { kCall, kFrame, kEvent, kVerbatim, kFolded, kSession, kSummary };

  void MainLine(const std::string& line);
  void EndCall(const std::string& status, uint32_t tick, bool ended);
  void Detail(const std::string& line);
  // A notable line (port search, I/O failure) or any other line: verbatim.
  void Verbatim(const std::string& line, uint32_t tick);
  void FlushFrames(const bool* sent, uint32_t tick);
  void FlushMatching(bool sent, const std::string& stuffed);
  // The data line of a PDUGetEventItem call on hCLL about hCoP; "" when
  // none matches among the next few. Lines skipped on the way are printed.
  std::string TakeEvent(int hCLL, int hCoP, uint32_t tick);
  void StartSession(uint32_t tick);
  void Summarize();
  // The receive thread's lines folded since the last ComPrimitive started.
  void FlushReceivePath();
  nlohmann::json SessionsJson() const;
  nlohmann::json LinesJson() const;
  std::string FrameText(const ContactLine& c) const;
  std::string Clock(uint32_t tick) const;
  long DayMs(uint32_t tick) const;
  // Prints (or keeps for --json) one output line, unless filtered out. A
  // line with no tick of its own (0) was written after the one emitted
  // before it and takes its tick; with none before it, its time is unknown
  // and --since leaves it out (never the boot time an absent tick means).
  void Emit(Kind kind, uint32_t tick, const std::string& text, int link = 0);
  void Write(Kind kind, int session, const std::string& text);

  DecodeFilter f_;
  std::deque<ContactLine> contacts_;
  std::deque<std::string> events_;
  uint32_t maxTick_ = 0;
  uint32_t seenTick_ = 0;  // the largest tick fed so far
  uint32_t lastTick_ = 0;  // the tick of the last line emitted
  FILE* stream_ = nullptr;
  bool streamFirst_ = true;
  unsigned rxLines_ = 0, rxFrames_ = 0;
  int rxCop_ = -1;
  double anchorWallMs_ = 0;
  bool datePrinted_ = false;
  // --since: a session's header waits until something of it passes the
  // filter, so that sessions wholly before the time print nothing.
  std::string heldHeader_;
  bool inCall_ = false;
  std::string callName_;
  uint32_t callTick_ = 0;
  std::string details_;
  int callLink_ = 0, callCop_ = -1;
  std::vector<std::pair<std::string, int>> callFrames_;  // text, link
  std::vector<std::string> callFolded_;
  // Calls whose lines another call's lines interrupted in the main log: an
  // event callback's PDUGetEventItem and PDUDestroyItem run inside a call
  // or a job of the engine, and their lines can fall between the start and
  // the end of another call (or the other way round). Each stays open
  // until its own end line; any other unended call, a construction or the
  // end of the log ends them all as "no end in the log".
  struct OpenCall {
    std::string name, details;
    uint32_t tick = 0;
    int link = 0, cop = -1;
    std::vector<std::pair<std::string, int>> frames;
    std::vector<std::string> folded;
  };
  std::vector<OpenCall> interrupted_;
  void Suspend();          // the current call onto interrupted_
  void Resume(size_t at);  // interrupted_[at] becomes the current call
  void EndOpenCalls();     // every open call, oldest first: no end line
  std::vector<Session> sessions_;
  nlohmann::json entries_ = nlohmann::json::array();
  // Every input line, by how it was accounted for.
  struct Counts {
    unsigned mainLines = 0, dataLines = 0, contactLines = 0;
    unsigned decoded = 0, verbatim = 0, folded = 0;
  } counts_;
};

inline void LogDecoder::Suspend() {
  interrupted_.push_back({std::move(callName_), std::move(details_), callTick_, callLink_, callCop_,
                          std::move(callFrames_), std::move(callFolded_)});
  callName_.clear();
  details_.clear();
  callFrames_.clear();
  callFolded_.clear();
  callLink_ = 0;
  callCop_ = -1;
  inCall_ = false;
}

inline void LogDecoder::Resume(size_t at) {
  OpenCall c = std::move(interrupted_[at]);
  interrupted_.erase(interrupted_.begin() + static_cast<std::ptrdiff_t>(at));
  callName_ = std::move(c.name);
  details_ = std::move(c.details);
  callTick_ = c.tick;
  callLink_ = c.link;
  callCop_ = c.cop;
  callFrames_ = std::move(c.frames);
  callFolded_ = std::move(c.folded);
  inCall_ = true;
}

inline void LogDecoder::EndOpenCalls() {
  if (inCall_) Suspend();
  while (!interrupted_.empty()) {
    Resume(0);
    EndCall("", callTick_, false);
  }
}

}  // namespace pdutool
