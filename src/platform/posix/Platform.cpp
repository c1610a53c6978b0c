// Linux implementation of the platform services.
#include "platform/Platform.h"
#include "platform/Mutex.h"

#include <errno.h>
#include <pthread.h>
#include <glob.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <unordered_map>

namespace pdu::platform {
namespace {

uint64_t ClockMicros(clockid_t id) {
  timespec ts{};
  clock_gettime(id, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * 1000000u +
         static_cast<uint64_t>(ts.tv_nsec) / 1000u;
}

std::string EnvOr(const char* name, const char* def) {
  const char* v = std::getenv(name);
  return (v != nullptr && *v != '\0') ? std::string(v) : std::string(def);
}

std::string WithTrailingSlash(std::string s) {
  if (!s.empty() && s.back() != '/') s.push_back('/');
  return s;
}

// The Windows profile reader cuts values at the caller's buffer; the library
// always passes 260 wide characters, so 259 characters survive.
constexpr size_t kProfileValueMax = 259;

std::string Trimmed(const std::string& s) {
  size_t b = 0;
  size_t e = s.size();
  while (b < e && std::isspace(static_cast<unsigned char>(s[b]))) ++b;
  while (e > b && std::isspace(static_cast<unsigned char>(s[e - 1]))) --e;
  return s.substr(b, e - b);
}

bool SameName(const std::string& a, const std::string& b) {
  return a.size() == b.size() &&
         std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) ==
                  std::tolower(static_cast<unsigned char>(y));
         });
}

// The value of key in section as the Windows profile reader finds it: lines
// are trimmed; "[name]" opens a section; only the first section of a name
// is searched (names compare without case), and in it the first line
// "key = value"; a line without '=' is no key; ';' starts a comment line.
// Nothing else is special: "1 ;note" is the value "1 ;note".
bool FindProfileValue(const std::string& file, const std::string& section,
                      const std::string& key, std::string& value) {
  std::ifstream in(file);
  if (!in) return false;
  std::string line;
  bool inside = false;  // in the first section of that name
  while (std::getline(in, line)) {
    const std::string t = Trimmed(line);
    if (t.empty() || t[0] == ';') continue;
    if (t[0] == '[') {
      const size_t close = t.find(']');
      const std::string name = Trimmed(t.substr(1, close == std::string::npos ? std::string::npos
                                                                              : close - 1));
      if (inside) return false;  // the first section ended without the key
      inside = SameName(name, section);
      continue;
    }
    if (!inside) continue;
    const size_t eq = t.find('=');
    if (eq == std::string::npos) continue;
    if (SameName(Trimmed(t.substr(0, eq)), key)) {
      value = Trimmed(t.substr(eq + 1));
      return true;
    }
  }
  return false;
}

// Trailing number of a device name ("/dev/ttyUSB12" -> 12) for sorting.
long DeviceNumber(const std::string& path) {
  size_t i = path.size();
  while (i > 0 && path[i - 1] >= '0' && path[i - 1] <= '9') --i;
  if (i == path.size()) return -1;
  return std::strtol(path.c_str() + i, nullptr, 10);
}

}  // namespace

bool TimedLock(std::recursive_timed_mutex& m, unsigned ms) {
  // std::recursive_timed_mutex is a recursive pthread mutex here; its
  // try_lock_for would use pthread_mutex_clocklock, which ThreadSanitizer
  // does not intercept (it then reports the unlock as one of an unlocked
  // mutex). pthread_mutex_timedlock takes a realtime deadline.
  timespec deadline{};
  clock_gettime(CLOCK_REALTIME, &deadline);
  deadline.tv_sec += static_cast<time_t>(ms / 1000);
  deadline.tv_nsec += static_cast<long>(ms % 1000) * 1000000L;
  if (deadline.tv_nsec >= 1000000000L) {
    deadline.tv_sec += 1;
    deadline.tv_nsec -= 1000000000L;
  }
  return pthread_mutex_timedlock(m.native_handle(), &deadline) == 0;
}

uint32_t GetTickCount() {
  return static_cast<uint32_t>(ClockMicros(CLOCK_MONOTONIC) / 1000u);
}

uint64_t MonotonicMicros() { return ClockMicros(CLOCK_MONOTONIC); }

void SleepMs(uint32_t ms) {
  timespec ts{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
  while (nanosleep(&ts, &ts) == -1 && errno == EINTR) {
  }
}

uint64_t ThreadCpuMicros() { return ClockMicros(CLOCK_THREAD_CPUTIME_ID); }

uint64_t ProcessCpuMicros() { return ClockMicros(CLOCK_PROCESS_CPUTIME_ID); }

bool RaiseThreadPriority(int& error, const char*& call) {
  // On Linux the nice value of a thread is its own (PRIO_PROCESS with the
  // thread id); lowering it needs CAP_SYS_NICE or a RLIMIT_NICE above it.
  const id_t tid = static_cast<id_t>(::syscall(SYS_gettid));
  errno = 0;
  const int current = ::getpriority(PRIO_PROCESS, tid);
  if (current == -1 && errno != 0) {
    error = errno;
    call = "getpriority";
    return false;
  }
  const int wanted = std::max(current - 5, -20);
  if (wanted == current) return true;
  if (::setpriority(PRIO_PROCESS, tid, wanted) != 0) {
    error = errno;
    call = "setpriority";
    return false;
  }
  return true;
}

std::string ExecutablePath() {
  char buf[PATH_MAX + 1];
  ssize_t n = readlink("/proc/self/exe", buf, PATH_MAX);
  if (n <= 0) return std::string();
  return std::string(buf, static_cast<size_t>(n));
}

std::string AppFolder() {
  return WithTrailingSlash(EnvOr("PDU7318_HOME", "/etc/brenlo/7318"));
}

const char* PathSeparator() { return "/"; }

std::string ReadIniString(const std::string& file, const std::string& section,
                          const std::string& key, const std::string& def) {
  std::string v;
  if (!FindProfileValue(file, section, key, v)) return def;
  // One pair of enclosing quotes is dropped, which is how a value with a
  // leading blank is written.
  if (v.size() >= 2 && (v.front() == '"' || v.front() == '\'') && v.back() == v.front()) {
    v = v.substr(1, v.size() - 2);
  }
  if (v.size() > kProfileValueMax) v.resize(kProfileValueMax);
  return v;
}

int ReadIniInt(const std::string& file, const std::string& section,
               const std::string& key, int def) {
  const std::string v = ReadIniString(file, section, key, std::string());
  // Absent and empty both give the default, as GetPrivateProfileInt does.
  if (v.empty()) return def;
  // Leading decimal digits; none gives 0.
  const char* p = v.c_str();
  while (*p == ' ' || *p == '\t') ++p;
  bool neg = false;
  if (*p == '-' || *p == '+') neg = (*p++ == '-');
  long long n = 0;
  while (*p >= '0' && *p <= '9') {
    n = n * 10 + (*p++ - '0');
    if (n > 0xFFFFFFFFll) n = 0xFFFFFFFFll;
  }
  return static_cast<int>(static_cast<uint32_t>(neg ? -n : n));
}

bool ReadLogPathValue(std::string& out) {
  const char* v = std::getenv("PDU7318_LOG_PATH");
  if (v == nullptr) return false;
  std::string s(v);
  // The Windows value is read into 512 bytes (255 wide characters).
  if (s.size() > 255) s.resize(255);
  while (!s.empty() && s.back() == '/') s.pop_back();
  out = s;
  return true;
}

bool CreateFolderWithParents(const std::string& path) {
  if (path.empty()) return true;
  std::string cur;
  size_t pos = 0;
  while (pos != std::string::npos) {
    size_t next = path.find('/', pos + 1);
    cur = path.substr(0, next);
    pos = next;
    if (cur.empty() || cur == "/") continue;
    if (mkdir(cur.c_str(), 0755) != 0 && errno != EEXIST) return false;
  }
  struct stat st{};
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

FILE* OpenStdioFile(const std::string& utf8Path, const char* mode) {
  return std::fopen(utf8Path.c_str(), mode);
}

void SetEnvValue(const std::string& name, const std::string& value) {
  setenv(name.c_str(), value.c_str(), 1);
}

void ClearEnvValue(const std::string& name) { unsetenv(name.c_str()); }

void ShowMessage(const std::string& utf8Text) {
  std::fprintf(stderr, "%s\n", utf8Text.c_str());
  std::fflush(stderr);
}

void DebugOutput(const std::string&) {}

std::string LocalDateStamp() {
  time_t now = time(nullptr);
  tm local{};
  localtime_r(&now, &local);
  char buf[64];
  size_t n = strftime(buf, sizeof buf, "%Y-%m-%d", &local);
  return std::string(buf, n);
}

bool SerialPortCandidates(std::vector<std::string>& out) {
  out.clear();
  const char* list = std::getenv("PDU7318_PORTS");
  if (list != nullptr) {
    std::string s(list);
    size_t start = 0;
    while (start <= s.size()) {
      size_t end = s.find(':', start);
      if (end == std::string::npos) end = s.size();
      if (end > start) out.push_back(s.substr(start, end - start));
      start = end + 1;
    }
    return true;
  }
  for (const char* pattern : {"/dev/ttyUSB*", "/dev/ttyACM*"}) {
    glob_t g{};
    std::vector<std::string> found;
    if (glob(pattern, 0, nullptr, &g) == 0) {
      for (size_t i = 0; i < g.gl_pathc; ++i) found.emplace_back(g.gl_pathv[i]);
    }
    globfree(&g);
    std::sort(found.begin(), found.end(), [](const std::string& a, const std::string& b) {
      return DeviceNumber(a) < DeviceNumber(b);
    });
    out.insert(out.end(), found.begin(), found.end());
  }
  return true;
}

}  // namespace pdu::platform
