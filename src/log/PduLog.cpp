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

// The log's state and its one lock.
//
// g_LogLock guards the open files and the one format buffer: a line is
// formatted, written and flushed under it, and LogInit/LogCloseAll change
// the files under it, so a thread that logs while another closes the log
// either writes its whole line first or finds the file gone and drops the
// line - never a write to a closed file. It is a leaf lock (nothing is taken
// while holding it) and is never destroyed, so lines logged from an atexit
// handler or a static destructor are still written.
//
// One buffer under the lock rather than one per thread: a per-thread buffer
// needs a thread-exit destructor, which the C++ runtime counts as a
// reference on the library (dlclose/FreeLibrary would no longer unload it
// while a thread that once logged lives), and memory grows with every
// thread that ever logged. Every member is trivially destructible.
platform::RecursiveMutex g_LogLock;

// The log room's state: the three files, whether they were opened, and the
// one line buffer.
struct PduLog {
  // Written under g_LogLock; read without it only to ask whether a file is
  // open (MainLogOn and the like).
  std::atomic<FILE*> MainFile{nullptr};
  std::atomic<FILE*> DataFile{nullptr};
  std::atomic<FILE*> ContactFile{nullptr};
  uint32_t LogOpened PDU_GUARDED_BY(g_LogLock) = 0;
  char LineBuffer[kLineBufferSize] PDU_GUARDED_BY(g_LogLock) = {};
};
PduLog g_Log;

// prefix (may be empty) then the formatted text, cut to the buffer, "\n",
// in one write, flushed at once.
void WriteLine(std::atomic<FILE*>& slot, const char* prefix, const char* fmt, va_list ap) {
  platform::RecursiveMutexLock lock(g_LogLock);
  FILE* f = slot.load(std::memory_order_relaxed);
  if (f == nullptr) return;
  char* buf = g_Log.LineBuffer;
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

void CloseOne(std::atomic<FILE*>& slot) PDU_REQUIRES(g_LogLock) {
  FILE* f = slot.exchange(nullptr);
  if (f != nullptr) std::fclose(f);
}

}  // namespace

#define PDU_LOG_BODY(slot)                                            \
  if (g_Log.slot.load(std::memory_order_relaxed) == nullptr) return; \
  va_list ap;                                                          \
  va_start(ap, fmt);                                                   \
  WriteLine(g_Log.slot, "", fmt, ap);                                  \
  va_end(ap)

void LogMain(const char* fmt, ...) { PDU_LOG_BODY(MainFile); }
void LogContact(const char* fmt, ...) { PDU_LOG_BODY(ContactFile); }
void LogData(const char* fmt, ...) { PDU_LOG_BODY(DataFile); }

#undef PDU_LOG_BODY

void LogMainV(const char* prefix, const char* fmt, va_list ap) {
  if (g_Log.MainFile.load(std::memory_order_relaxed) != nullptr) WriteLine(g_Log.MainFile, prefix, fmt, ap);
}

bool MainLogOn() { return g_Log.MainFile.load(std::memory_order_relaxed) != nullptr; }
bool ContactLogOn() { return g_Log.ContactFile.load(std::memory_order_relaxed) != nullptr; }
bool DataLogOn() { return g_Log.DataFile.load(std::memory_order_relaxed) != nullptr; }

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

// Called by every construction. The switch and the names are read each
// time, but files that are open stay in use: a construction without
// destruction (even one with logging switched off or another date or log
// path by then) keeps writing where the earlier one did, so its lines and
// its PDUDestruct are in the same files. The switch and the folder take
// effect at the next construction after a destruction.
void LogInit() {
  if (!LogSwitchedOn()) return;
  const LogFileNames names = CurrentLogFileNames();
  platform::RecursiveMutexLock lock(g_LogLock);
  if (g_Log.LogOpened == 1) return;
  if (!names.folder.empty()) platform::CreateFolderWithParents(names.folder);
  FILE* m = platform::OpenStdioFile(names.main, "a+");
  FILE* d = platform::OpenStdioFile(names.data, "a+");
  FILE* c = platform::OpenStdioFile(names.contact, "a+");
  g_Log.MainFile.store(m);
  g_Log.DataFile.store(d);
  g_Log.ContactFile.store(c);
  if (m != nullptr || d != nullptr || c != nullptr) g_Log.LogOpened = 1;
}

void LogCloseAll() {
  platform::RecursiveMutexLock lock(g_LogLock);
  CloseOne(g_Log.MainFile);
  CloseOne(g_Log.DataFile);
  CloseOne(g_Log.ContactFile);
  g_Log.LogOpened = 0;
}

void ForgetFilesAfterFork() PDU_NO_THREAD_SAFETY_ANALYSIS {
  // Not closed: fclose would take each file's own lock, which a thread of
  // the parent may have held at the fork. The descriptors stay open in the
  // child and are closed by its exit; every line the parent wrote is
  // already whole on disk (each is flushed when written).
  g_LogLock.ReinitAfterFork();
  g_Log.MainFile.store(nullptr);
  g_Log.DataFile.store(nullptr);
  g_Log.ContactFile.store(nullptr);
  g_Log.LogOpened = 0;
}

}  // namespace pdu::log
