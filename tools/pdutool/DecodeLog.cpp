// pdutool decode-log: the three log files of a session as one readable,
// time-ordered transcript. This file finds the files and reads (or
// follows) them; LogDecoder.h describes the files and the decoding. The
// Windows build has no decode-log (tools/windows/DecodeLogWin32.cpp).
#include "Commands.h"


#include <poll.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <deque>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "Client.h"
#include "Commands.h"
#include "LogDecoder.h"
#include "Numbers.h"
#include "Signals.h"

namespace pdutool {

namespace {

namespace fs = std::filesystem;

struct Files {
  std::string main, data, contact;
};

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

// The complete lines of a growing file, read through a buffer of 1 MB so
// that a day's log of gigabytes is never held whole.
class Tail {
 public:
  explicit Tail(std::string path) : path_(std::move(path)) {}
  // The next complete line; false at the end of what is written so far.
  bool Next(std::string& line) {
    for (;;) {
      const size_t nl = buffer_.find('\n', at_);
      if (nl != std::string::npos) {
        line.assign(buffer_, at_, nl - at_);
        line.erase(std::remove(line.begin(), line.end(), '\r'), line.end());
        at_ = nl + 1;
        return true;
      }
      if (!Refill()) return false;
    }
  }
  // Every complete line written so far.
  std::vector<std::string> Lines() {
    std::vector<std::string> out;
    for (std::string line; Next(line);) out.push_back(std::move(line));
    return out;
  }
  // Up to n lines.
  std::vector<std::string> Lines(size_t n) {
    std::vector<std::string> out;
    for (std::string line; out.size() < n && Next(line);) out.push_back(std::move(line));
    return out;
  }
  const std::string& Path() const { return path_; }

 private:
  bool Refill() {
    std::ifstream in(path_, std::ios::binary);
    if (!in) return false;
    buffer_.erase(0, at_);
    at_ = 0;
    in.seekg(static_cast<std::streamoff>(offset_));
    std::string chunk(1 << 20, '\0');
    in.read(chunk.data(), static_cast<std::streamsize>(chunk.size()));
    const auto got = static_cast<size_t>(in.gcount());
    if (got == 0) return false;
    buffer_.append(chunk, 0, got);
    offset_ += got;
    return true;
  }

  std::string path_;
  std::string buffer_;
  size_t at_ = 0;
  size_t offset_ = 0;  // of the file, read into buffer_
};

// The tick of a call's line ("PDUName 123", "PDUName  <STATUS> 123") or of
// a contact line ("123 >>>>>>>>>: ..."); 0 for other lines.
uint32_t LineTick(const std::string& line) {
  if (line.rfind("PDU", 0) == 0) {
    const size_t sp = line.rfind(' ');
    const std::string last = sp == std::string::npos ? "" : line.substr(sp + 1);
    return IsDigits(last) ? static_cast<uint32_t>(std::strtoul(last.c_str(), nullptr, 10)) : 0;
  }
  const size_t sp = line.find(' ');
  const std::string first = line.substr(0, sp);
  return sp != std::string::npos && IsDigits(first) ? static_cast<uint32_t>(std::strtoul(first.c_str(), nullptr, 10))
                                                     : 0;
}

// The largest tick in the last 64 KB of a file.
uint32_t LastTick(const std::string& path) {
  std::ifstream in(path, std::ios::binary | std::ios::ate);
  if (!in) return 0;
  const std::streamoff size = in.tellg();
  const std::streamoff from = size > 65536 ? size - 65536 : 0;
  in.seekg(from);
  std::string line;
  uint32_t tick = 0;
  if (from != 0) std::getline(in, line);  // a partial line
  while (std::getline(in, line)) tick = std::max(tick, LineTick(line));
  return tick;
}

}  // namespace

// The newest modification time of the files, ms since the epoch.
double NewestWrite(const Files& files) {
  double newest = 0;
  struct stat st {};
  for (const std::string& p : {files.main, files.data, files.contact}) {
    if (::stat(p.c_str(), &st) == 0) {
      double t = static_cast<double>(st.st_mtim.tv_sec) * 1000.0 + st.st_mtim.tv_nsec / 1e6;
      newest = std::max(newest, t);
    }
  }
  return newest;
}

int RunDecodeLog(const std::string& path, bool follow, const DecodeFilter& filter) {
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
  LogDecoder decoder(filter);
  if (filter.json || filter.jsonLines) decoder.StreamTo(stdout);
  Tail main(files.main), data(files.data), contact(files.contact);
  // The main log is read first: the library writes a call's data-log and
  // contact-log lines before the main log's line that ends the call, so
  // every line read from the main log finds its companions in the other
  // two files read after it. Read the other way round, a session still
  // being written could show a PDUGetEventItem without its event line
  // (written between the two reads), and the line was then lost to --follow.
  auto step = [&](bool final) {
    std::vector<std::string> m = main.Lines();
    std::vector<std::string> d = data.Lines();
    std::vector<std::string> c = contact.Lines();
    decoder.SetAnchor(NewestWrite(files));
    decoder.Feed(m, d, c, final);
  };
  if (!follow) {
    // A day's files in steps of 20,000 main-log lines: the contact lines up
    // to a second and a half past the step's last tick, the data lines its
    // PDUGetEventItem calls may claim (and the 16 the decoder looks ahead).
    decoder.SetAnchor(NewestWrite(files));
    decoder.NoteTick(std::max(LastTick(files.main), LastTick(files.contact)));
    for (bool more = true; more;) {
      std::vector<std::string> m = main.Lines(20000);
      more = m.size() == 20000;
      uint32_t last = 0;
      size_t calls = 0;
      for (const std::string& l : m) {
        last = std::max(last, LineTick(l));
        if (l.rfind("PDUGetEventItem ", 0) == 0 && IsDigits(l.substr(16))) ++calls;
      }
      std::vector<std::string> c;
      for (std::string line; (c.empty() || LineTick(c.back()) <= last + 1500 || !more) && contact.Next(line);) {
        c.push_back(std::move(line));
      }
      const size_t pending = decoder.PendingEvents();
      std::vector<std::string> d = more ? data.Lines(calls + 16 > pending ? calls + 16 - pending : 0) : data.Lines();
      decoder.Feed(m, d, c, !more);
    }
    decoder.CloseStream();
    // An empty transcript must not read as "that session did nothing".
    if (filter.session > decoder.SessionCount()) {
      std::fprintf(stderr, "pdutool: no session %d: the log holds %d session(s)\n", filter.session,
                   decoder.SessionCount());
      return kExitUsage;
    }
    return kExitOk;
  }
  step(false);
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
    step(false);
  }
  step(true);
  ::close(fd);
  decoder.CloseStream();
  return kExitOk;
}

}  // namespace pdutool

