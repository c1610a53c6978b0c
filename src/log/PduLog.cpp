#include "log/PduLog.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

#include "platform/Mutex.h"
#include "platform/Platform.h"

namespace pdu::log {
namespace {

// The file pointers are read by every logging thread and changed only by
// LogInit/LogCloseAll (construction and destruction, which the application
// does not overlap with other calls); atomics keep those reads defined.
//
// Every member is trivially destructible: the log is usable up to the end
// of the process, after the C++ exit sequence has begun.
struct PduLog {
  std::atomic<FILE*> MainFile{nullptr};
  std::atomic<FILE*> DataFile{nullptr};
  std::atomic<FILE*> ContactFile{nullptr};
  uint32_t LogOpened = 0;
  // The main file's name while open (allocated, replaced on reopening).
  std::string* OpenedMain = nullptr;
  // Files a construction replaced (another folder or day, or logging
  // switched off). A thread of the earlier construction may still be
  // writing a line to them (its receive thread ends only when the new
  // construction closes the old port), so they are closed one step later:
  // by the next LogInit or LogCloseAll.
  FILE* Retired[3] = {nullptr, nullptr, nullptr};
};

PduLog& TheLog() {
  static PduLog log;
  return log;
}

// The per-thread format buffer.
//
// A thread's thread_local objects are destroyed before its last code runs:
// glibc destroys the main thread's when exit() begins, before it runs the
// atexit handlers and static destructors that may still log (an
// application's PDUDestruct in its own atexit handler or global object).
// So the buffer is reached through a trivially destructible pointer that
// stays valid for as long as the thread runs; the only thread_local with a
// destructor is the one that frees it, and that destructor marks the thread
// as done first. A thread that logs after that point (or whose buffer could
// not be allocated) formats into the one shared late buffer under its lock.
enum class BufferState : uint8_t { kNone, kOwn, kDone };
thread_local char* t_Buffer = nullptr;
thread_local BufferState t_BufferState = BufferState::kNone;

struct BufferRelease {
  BufferRelease() = default;
  BufferRelease(const BufferRelease&) = delete;
  BufferRelease& operator=(const BufferRelease&) = delete;
  void Arm() { armed = true; }
  ~BufferRelease() {
    t_BufferState = BufferState::kDone;
    delete[] t_Buffer;
    t_Buffer = nullptr;
  }
  bool armed = false;
};
thread_local BufferRelease t_BufferRelease;

// Never destroyed (static storage, trivial destructors): usable up to the
// last instruction of the process.
char g_LateBuffer[kLineBufferSize];
platform::RecursiveMutex g_LateBufferLock;

// The thread's own buffer, or null when the shared one must be used.
char* OwnLineBuffer() {
  if (t_BufferState == BufferState::kOwn) return t_Buffer;
  if (t_BufferState == BufferState::kDone) return nullptr;
  t_Buffer = new (std::nothrow) char[kLineBufferSize];
  if (t_Buffer == nullptr) return nullptr;
  t_BufferState = BufferState::kOwn;
  t_BufferRelease.Arm();  // first use: registers the release for this thread
  return t_Buffer;
}

// prefix (may be empty) then the formatted text, cut to the buffer, "\n".
void FormatAndWrite(char* buf, FILE* f, const char* prefix, const char* fmt, va_list ap) {
  const size_t head = std::strlen(prefix);
  std::memcpy(buf, prefix, head);
  int n = std::vsnprintf(buf + head, kLineBufferSize - 1 - head, fmt, ap);
  if (n < 0) return;
  size_t len = head + static_cast<size_t>(n);
  if (len > kLineBufferSize - 2) len = kLineBufferSize - 2;  // cut, never overflow
  buf[len] = '\n';
  std::fwrite(buf, 1, len + 1, f);
  std::fflush(f);
}

void WriteLine(FILE* f, const char* prefix, const char* fmt, va_list ap) {
  char* own = OwnLineBuffer();
  if (own != nullptr) {
    FormatAndWrite(own, f, prefix, fmt, ap);
    return;
  }
  platform::RecursiveMutexLock lock(g_LateBufferLock);
  FormatAndWrite(g_LateBuffer, f, prefix, fmt, ap);
}

void CloseOne(std::atomic<FILE*>& slot) {
  FILE* f = slot.exchange(nullptr);
  if (f != nullptr) std::fclose(f);
}

}  // namespace

#define PDU_LOG_BODY(slot)                          \
  FILE* f = TheLog().slot.load(std::memory_order_acquire); \
  if (f == nullptr) return;                          \
  va_list ap;                                        \
  va_start(ap, fmt);                                 \
  WriteLine(f, "", fmt, ap);                         \
  va_end(ap)

void LogMain(const char* fmt, ...) { PDU_LOG_BODY(MainFile); }
void LogContact(const char* fmt, ...) { PDU_LOG_BODY(ContactFile); }
void LogData(const char* fmt, ...) { PDU_LOG_BODY(DataFile); }

#undef PDU_LOG_BODY

void LogMainV(const char* prefix, const char* fmt, va_list ap) {
  FILE* f = TheLog().MainFile.load(std::memory_order_acquire);
  if (f != nullptr) WriteLine(f, prefix, fmt, ap);
}

bool MainLogOn() { return TheLog().MainFile.load(std::memory_order_relaxed) != nullptr; }
bool ContactLogOn() { return TheLog().ContactFile.load(std::memory_order_relaxed) != nullptr; }
bool DataLogOn() { return TheLog().DataFile.load(std::memory_order_relaxed) != nullptr; }

void HexDump(const uint8_t* src, uint32_t count, char* dst, bool spaced) {
  if (src == nullptr || count == 0) return;
  if (count > kHexDumpMaxBytes) count = kHexDumpMaxBytes;
  static const char kDigits[] = "0123456789ABCDEF";
  std::memset(dst, 0, 2 * static_cast<size_t>(count) + 1);
  char* p = dst;
  for (uint32_t i = 0; i < count; ++i) {
    *p++ = kDigits[src[i] >> 4];
    *p++ = kDigits[src[i] & 0x0F];
    if (spaced && i + 1 < count) *p++ = ' ';
  }
  *p = '\0';
}

std::string HexString(const uint8_t* src, uint32_t count, bool spaced) {
  if (src == nullptr || count == 0) return std::string();
  if (count > kHexDumpMaxBytes) count = kHexDumpMaxBytes;
  std::string s(3 * static_cast<size_t>(count), '\0');
  HexDump(src, count, s.data(), spaced);
  s.resize(std::strlen(s.c_str()));
  return s;
}

std::string DateStamp() { return platform::LocalDateStamp(); }

bool GetInstallPath(std::string& out) {
  std::string value;
  if (!platform::ReadLogPathValue(value)) return false;
  const std::string sep = platform::PathSeparator();
  // An empty value (also what "/" becomes without its trailing separator)
  // is the root: the separator in front of "J2534" keeps the folder from
  // landing in the current directory.
  if (value.empty() || value.back() != sep[0]) value += sep;
  out = value + "J2534" + sep + "7318" + sep;
  return true;
}

LogFileNames CurrentLogFileNames() {
  LogFileNames names;
  GetInstallPath(names.folder);
  const std::string date = DateStamp();
  names.main = names.folder + date + ".txt";
  names.data = names.folder + date + "_data.txt";
  names.contact = names.folder + date + "_contact.txt";
  return names;
}

bool LogSwitchedOn() {
  const std::string file = platform::AppFolder() + "config.ini";
  return platform::ReadIniString(file, "LOG", "open", "") == "1";
}

namespace {

void CloseRetired(PduLog& log) {
  for (FILE*& f : log.Retired) {
    if (f != nullptr) std::fclose(f);
    f = nullptr;
  }
}

}  // namespace

// Called by every construction: the files that the switch and the log path
// name now are the ones in use afterwards. The same files stay open (a
// construction without destruction appends to them); other ones replace
// them.
void LogInit() {
  PduLog& log = TheLog();
  const bool on = LogSwitchedOn();
  const LogFileNames names = on ? CurrentLogFileNames() : LogFileNames{};
  if (log.LogOpened == 1 && on && log.OpenedMain != nullptr && *log.OpenedMain == names.main) return;
  CloseRetired(log);
  log.Retired[0] = log.MainFile.exchange(nullptr);
  log.Retired[1] = log.DataFile.exchange(nullptr);
  log.Retired[2] = log.ContactFile.exchange(nullptr);
  log.LogOpened = 0;
  if (!on) return;
  if (!names.folder.empty()) platform::CreateFolderWithParents(names.folder);
  FILE* m = platform::OpenStdioFile(names.main, "a+");
  FILE* d = platform::OpenStdioFile(names.data, "a+");
  FILE* c = platform::OpenStdioFile(names.contact, "a+");
  log.MainFile.store(m, std::memory_order_release);
  log.DataFile.store(d, std::memory_order_release);
  log.ContactFile.store(c, std::memory_order_release);
  if (m != nullptr || d != nullptr || c != nullptr) {
    log.LogOpened = 1;
    delete log.OpenedMain;
    log.OpenedMain = new std::string(names.main);
  }
}

void LogCloseAll() {
  PduLog& log = TheLog();
  CloseOne(log.MainFile);
  CloseOne(log.DataFile);
  CloseOne(log.ContactFile);
  CloseRetired(log);
  log.LogOpened = 0;
}

}  // namespace pdu::log
