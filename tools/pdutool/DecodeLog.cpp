// pdutool decode-log: the three log files of a session as one readable,
// time-ordered transcript.
//
// The files (src/log's contract, their texts are fixed):
//   <date>.txt          main: a call is "PDUName <tick>", indented detail
//                       lines, "PDUName  <STATUS_NAME> <tick>"; between them
//                       the traffic of the call again ("Write
//                       Data_Original: ...", "recv buffer = ...") and
//                       internal notes
//   <date>_data.txt     one line per event item handed out by
//                       PDUGetEventItem: ">>>[hCLL  hCoP] status = X"
//                       (no tick)
//   <date>_contact.txt  "<tick> >>>>>>>>>: <frame hex>" sent,
//                       "<tick> <<<<<<<<<: ..." received
// Ticks are milliseconds of a monotonic clock. Wall-clock time comes from
// the files: the newest modification time belongs to the largest tick, the
// other ticks count back from there.
//
// Each frame is printed once, decoded, from the contact log, placed where
// the main log wrote it; each data log line goes with the PDUGetEventItem
// call that handed its item out (the k-th line with the k-th successful
// call).
#include "Commands.h"

#ifndef PDUTOOL_DECODE_LOG

#include <cstdio>

#include "Client.h"

namespace pdutool {

// Builds without the shared frame decoder (the Windows one) have no
// decode-log.
int RunDecodeLog(const std::string&, bool) {
  std::fprintf(stderr, "pdutool: decode-log is not available in this build\n");
  return kExitUsage;
}

}  // namespace pdutool

#else

#include <poll.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <ctime>
#include <deque>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "Client.h"
#include "Commands.h"
#include "FrameText.h"
#include "Signals.h"

namespace pdutool {

namespace {

namespace fs = std::filesystem;

struct Files {
  std::string main, data, contact;
};

bool IsDigits(const std::string& s) {
  return !s.empty() && std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// "2026-12-06.txt" (or its _data/_contact files) -> "2026-12-06".
std::string DateOf(const std::string& name) {
  if (name.size() < 14 || name[4] != '-' || name[7] != '-') return "";
  const std::string date = name.substr(0, 10);
  if (!IsDigits(date.substr(0, 4)) || !IsDigits(date.substr(5, 2)) || !IsDigits(date.substr(8, 2))) return "";
  const std::string rest = name.substr(10);
  if (rest != ".txt" && rest != "_data.txt" && rest != "_contact.txt") return "";
  return date;
}

// The files of a session: from one of them, or from a folder (the log
// folder itself or the log path above J2534/7318/), the newest date.
bool FindFiles(const std::string& path, bool follow, Files& out, std::string& error) {
  std::error_code ec;
  fs::path folder;
  std::string date;
  if (fs::is_directory(path, ec)) {
    folder = path;
    if (fs::is_directory(folder / "J2534" / "7318", ec)) folder = folder / "J2534" / "7318";
    for (const auto& e : fs::directory_iterator(folder, ec)) {
      std::string d = DateOf(e.path().filename().string());
      if (!d.empty() && d > date) date = d;
    }
    if (date.empty() && follow) {
      // Following before the first session of the day: today's files.
      std::time_t now = std::time(nullptr);
      std::tm local{};
      localtime_r(&now, &local);
      char buf[16];
      std::strftime(buf, sizeof buf, "%Y-%m-%d", &local);
      date = buf;
    }
    if (date.empty()) {
      error = "no log files (YYYY-MM-DD.txt) in " + folder.string();
      return false;
    }
  } else if (fs::exists(path, ec)) {
    folder = fs::path(path).parent_path();
    date = DateOf(fs::path(path).filename().string());
    if (date.empty()) {
      error = path + " is not a log file (YYYY-MM-DD.txt, _data.txt, _contact.txt)";
      return false;
    }
  } else {
    error = "no such file or folder: " + path;
    return false;
  }
  if (folder.empty()) folder = ".";
  out.main = (folder / (date + ".txt")).string();
  out.data = (folder / (date + "_data.txt")).string();
  out.contact = (folder / (date + "_contact.txt")).string();
  return true;
}

// New complete lines of a growing file.
class Tail {
 public:
  explicit Tail(std::string path) : path_(std::move(path)) {}
  std::vector<std::string> Lines() {
    std::vector<std::string> out;
    std::ifstream in(path_, std::ios::binary);
    if (!in) return out;
    in.seekg(static_cast<std::streamoff>(offset_));
    std::string chunk((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    size_t start = 0;
    for (size_t nl; (nl = chunk.find('\n', start)) != std::string::npos; start = nl + 1) {
      std::string line = chunk.substr(start, nl - start);
      line.erase(std::remove(line.begin(), line.end(), '\r'), line.end());
      out.push_back(line);
    }
    offset_ += start;
    return out;
  }
  const std::string& Path() const { return path_; }

 private:
  std::string path_;
  size_t offset_ = 0;
};

struct ContactLine {
  uint32_t tick = 0;
  bool sent = false;
  std::string hex;
};

std::string Trim(const std::string& s) {
  size_t a = s.find_first_not_of(" \t");
  size_t b = s.find_last_not_of(" \t");
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
  if (line.rfind("PDU", 0) != 0 || line[3] == '_') return false;
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

class Decoder {
 public:
  Decoder(const Files& files) : main_(files.main), data_(files.data), contact_(files.contact) {}

  // Wall clock: the newest modification time goes with the largest tick.
  void Anchor() {
    struct stat st {};
    for (const std::string& p : {main_.Path(), data_.Path(), contact_.Path()}) {
      if (::stat(p.c_str(), &st) == 0) {
        double t = static_cast<double>(st.st_mtim.tv_sec) * 1000.0 + st.st_mtim.tv_nsec / 1e6;
        if (t > anchorWallMs_) anchorWallMs_ = t;
      }
    }
  }

  // Reads what is new in the three files and prints it. final: also the
  // frames that no main log line placed yet.
  void Step(bool final) {
    for (std::string& l : contact_.Lines()) {
      ContactLine c;
      size_t sp = l.find(' ');
      if (sp == std::string::npos || !IsDigits(l.substr(0, sp))) continue;
      c.tick = static_cast<uint32_t>(std::stoul(l.substr(0, sp)));
      c.sent = l.compare(sp + 1, 3, ">>>") == 0;
      size_t colon = l.find(": ", sp);
      if (colon == std::string::npos) continue;
      c.hex = l.substr(colon + 2);
      maxTick_ = std::max(maxTick_, c.tick);
      contacts_.push_back(c);
    }
    for (std::string& l : data_.Lines()) {
      if (Trim(l).empty()) continue;
      events_.push_back(Trim(l));
    }
    std::vector<std::string> lines = main_.Lines();
    // The ticks first, for the wall-clock anchor.
    for (const std::string& l : lines) {
      std::string name, status;
      uint32_t tick = 0;
      if (CallStart(l, name, tick) || CallEnd(l, name, status, tick)) maxTick_ = std::max(maxTick_, tick);
    }
    Anchor();
    for (const std::string& l : lines) MainLine(l);
    if (final || !inCall_) FlushFrames(nullptr, UINT32_MAX);
    std::fflush(stdout);
  }

 private:
  std::string Clock(uint32_t tick) const {
    double wall = anchorWallMs_ - static_cast<double>(maxTick_ - std::min(tick, maxTick_));
    std::time_t secs = static_cast<std::time_t>(wall / 1000.0);
    int ms = static_cast<int>(wall - static_cast<double>(secs) * 1000.0);
    std::tm local{};
    localtime_r(&secs, &local);
    char buf[48];
    std::strftime(buf, sizeof buf, "%H:%M:%S", &local);
    std::string out = buf;
    std::snprintf(buf, sizeof buf, ".%03d", ms);
    if (!datePrinted_) {
      char date[16];
      std::strftime(date, sizeof date, "%Y-%m-%d", &local);
      std::printf("%s (wall-clock times from the files' modification time)\n", date);
      datePrinted_ = true;
    }
    return out + buf;
  }

  std::string FrameText(const ContactLine& c) {
    std::vector<uint8_t> raw = Unhex(c.hex);
    auto f = frametext::ParseFrame(raw.data(), raw.size());
    if (!f) return std::string(c.sent ? "PC->VCI" : "VCI->PC") + "  (not a valid frame) " + c.hex;
    return frametext::DescribeFrame(c.sent, f->channel, f->sequence, f->command, f->data);
  }

  // Prints (or keeps for the open call) the contact lines up to the first
  // one in direction sent (nullptr: up to tick).
  void FlushFrames(const bool* sent, uint32_t tick) {
    while (!contacts_.empty()) {
      const ContactLine c = contacts_.front();
      if (sent == nullptr && c.tick > tick) break;
      contacts_.pop_front();
      std::string line = Clock(c.tick) + "      " + FrameText(c);
      if (inCall_) {
        callFrames_.push_back(line);
      } else {
        std::printf("%s\n", line.c_str());
      }
      if (sent != nullptr && c.sent == *sent) break;
    }
  }

  static std::string HexDigits(const std::string& text) {
    std::string out;
    for (char c : text) {
      if (std::isxdigit(static_cast<unsigned char>(c))) out += static_cast<char>(std::toupper(c));
    }
    return out;
  }

  // The main log's copies are the stuffed wire bytes, the contact log
  // holds frames unstuffed: 7D 5E -> 7E, 7D 5D -> 7D.
  static std::string Unstuffed(const std::string& digits) {
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

  // A write names one frame, a receive buffer one or more: print the
  // contact lines up to the last frame of the same direction that the
  // main log's copy holds. A copy that matches no frame places nothing.
  void FlushMatching(bool sent, const std::string& stuffed) {
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

  void Detail(const std::string& line) {
    std::string t = Trim(line);
    size_t eq = t.find(" = ");
    std::string key = eq == std::string::npos ? "" : t.substr(0, eq);
    std::string value = eq == std::string::npos ? "" : t.substr(eq + 3);
    if (t.rfind("*pCopData:", 0) == 0 && t.size() > 10 && details_.find("data") == std::string::npos) {
      details_ += " data=[" + Trim(t.substr(10)) + "]";
      return;
    }
    static const char* const kKeys[] = {"hCLL", "hCoP", "resourceId", "*phCLL", "*phCoP", "CoPType",
                                        "ComParamID", "ParamName", "*pShortname", "*pPduObjectId",
                                        "ItemType", "pResult->UniqueRespIdentifier", "pResult->pDataByte"};
    for (const char* k : kKeys) {
      if (key == k) {
        std::string shown = key;
        if (shown.rfind("pResult->", 0) == 0) shown = shown.substr(9);
        if (shown[0] == '*') shown = shown.substr(1);
        if (shown == "pDataByte") {
          details_ += " data=[" + value + "]";
        } else {
          details_ += " " + shown + "=" + value;
        }
        return;
      }
    }
    // A bare status value under an event item ("PDU_COPST_FINISHED").
    if (line.size() > 1 && line[0] == '\t' && t.rfind("PDU_", 0) == 0 && t.find(' ') == std::string::npos &&
        t.find("_IT_") == std::string::npos && t.find("_OBJT_") == std::string::npos) {
      details_ += " " + t;
    }
  }

  void MainLine(const std::string& line) {
    std::string name, status;
    uint32_t tick = 0;
    if (CallEnd(line, name, status, tick)) {
      if (!inCall_) {
        callName_ = name;
        callTick_ = tick;
      }
      std::string event;
      if (name == "PDUGetEventItem" && status == "PDU_STATUS_NOERROR" && !events_.empty()) {
        event = events_.front();
        events_.pop_front();
      }
      std::printf("%s  %s%s -> %s", Clock(callTick_).c_str(), callName_.c_str(), details_.c_str(), status.c_str());
      if (tick > callTick_) std::printf(" (%u ms)", tick - callTick_);
      std::printf("\n");
      for (const std::string& f : callFrames_) std::printf("%s\n", f.c_str());
      if (!event.empty()) std::printf("%s      event %s\n", Clock(tick).c_str(), event.c_str());
      inCall_ = false;
      callFrames_.clear();
      details_.clear();
      return;
    }
    if (CallStart(line, name, tick)) {
      // Frames no main log line placed within a second are printed anyway.
      FlushFrames(nullptr, tick > 1000 ? tick - 1000 : 0);
      if (inCall_) {
        // A call whose end line is missing (the process died in it).
        std::printf("%s  %s%s -> (no end in the log)\n", Clock(callTick_).c_str(), callName_.c_str(),
                    details_.c_str());
        for (const std::string& f : callFrames_) std::printf("%s\n", f.c_str());
        callFrames_.clear();
      }
      inCall_ = true;
      callName_ = name;
      callTick_ = tick;
      details_.clear();
      return;
    }
    // The main log's own copies of the traffic place the contact log's
    // frames: a write is the next sent frame, a receive the next received.
    if (size_t at = line.find("Write Data_Original:"); at != std::string::npos) {
      FlushMatching(true, HexDigits(line.substr(at + 20)));
      return;
    }
    if (line.rfind("recv buffer = ", 0) == 0) {
      FlushMatching(false, HexDigits(line.substr(14, line.find(" m_dw") - 14)));
      return;
    }
    if (inCall_) Detail(line);
  }

  Tail main_, data_, contact_;
  std::deque<ContactLine> contacts_;
  std::deque<std::string> events_;
  uint32_t maxTick_ = 0;
  double anchorWallMs_ = 0;
  mutable bool datePrinted_ = false;
  bool inCall_ = false;
  std::string callName_;
  uint32_t callTick_ = 0;
  std::string details_;
  std::vector<std::string> callFrames_;
};

}  // namespace

int RunDecodeLog(const std::string& path, bool follow) {
  Files files;
  std::string error;
  if (!FindFiles(path, follow, files, error)) {
    std::fprintf(stderr, "pdutool: %s\n", error.c_str());
    return kExitUsage;
  }
  std::error_code ec;
  if (!follow && !fs::exists(files.main, ec)) {
    std::fprintf(stderr, "pdutool: no main log file %s\n", files.main.c_str());
    return kExitUsage;
  }
  Decoder decoder(files);
  decoder.Step(!follow);
  if (!follow) return kExitOk;
  // Follow: wake on every write to the folder (inotify), read what is new.
  int fd = inotify_init1(IN_CLOEXEC);
  const std::string folder = fs::path(files.main).parent_path().string();
  if (fd < 0 || inotify_add_watch(fd, folder.empty() ? "." : folder.c_str(), IN_MODIFY | IN_CREATE) < 0) {
    std::fprintf(stderr, "pdutool: cannot watch %s\n", folder.c_str());
    return kExitUsage;
  }
  // Ctrl-C ends it through the stop pipe (Signals.h).
  char events[4096];
  for (;;) {
    pollfd fds[2] = {{fd, POLLIN, 0}, {StopFd(), POLLIN, 0}};
    if (::poll(fds, StopFd() >= 0 ? 2 : 1, -1) < 0 && errno != EINTR) break;
    if (StopRequested()) break;
    if ((fds[0].revents & POLLIN) == 0) continue;
    if (::read(fd, events, sizeof events) <= 0) break;
    decoder.Step(false);
  }
  decoder.Step(true);
  ::close(fd);
  return kExitOk;
}

}  // namespace pdutool

#endif  // PDUTOOL_DECODE_LOG
