// BenchModule: the library as a diagnostic application uses it, for the
// benchmark's scenarios.
//
// It prepares an application folder (MDF.xml, config.ini with the logging
// switch, a log folder) in a temporary directory, points the library at the
// BenchVci's port, constructs, creates one ISO 15765 link, registers a
// callback and connects. RoundTrip() then runs one SENDRECV the way an
// application in callback mode does: start it, let the callback fetch every
// item on the engine thread, and stop the clock when the FINISHED item is
// in hand.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>

namespace pdubench {

// The one module the library offers.
inline constexpr uint32_t kMod = 1;

// CPU time of the process, split by who spent it.
struct CpuSnapshot {
  uint64_t wallMicros = 0;
  uint64_t processMicros = 0;
  uint64_t mainMicros = 0;  // the thread that takes the snapshot
  uint64_t vciMicros = 0;   // the simulator's thread
  // Context switches of every other thread: the module's engine and
  // receive threads. A blocking wait is one, a wake-up that finds the
  // woken thread's lock still held costs another.
  uint64_t moduleSwitches = 0;
  // CPU time the whole machine spent busy (all processes, all CPUs), from
  // /proc/stat in clock ticks converted to microseconds.
  uint64_t machineBusyMicros = 0;

  static CpuSnapshot Take(uint64_t vciMicros, int vciTid);
  // CPU of the module's own threads (engine, receive) between two snapshots.
  static uint64_t ModuleMicros(const CpuSnapshot& a, const CpuSnapshot& b) {
    const uint64_t all = b.processMicros - a.processMicros;
    const uint64_t others = (b.mainMicros - a.mainMicros) + (b.vciMicros - a.vciMicros);
    return all > others ? all - others : 0;
  }
  // Share (percent) of the machine's CPUs that other processes kept busy
  // between two snapshots: what competed with the module for a CPU.
  static double OthersPercent(const CpuSnapshot& a, const CpuSnapshot& b);
};

// Resident set size of the process in KiB.
uint64_t ResidentKiB();

class BenchModule {
 public:
  // dataDir holds MDF.xml; port is the VCI's device path.
  BenchModule(std::string dataDir, std::string port);
  ~BenchModule();
  BenchModule(const BenchModule&) = delete;
  BenchModule& operator=(const BenchModule&) = delete;

  // Construct, create and connect the link. False with a reason.
  bool Open(bool logging, std::string& error);
  // Disconnect, destroy, destruct. Safe when not open.
  void Close();

  // One SENDRECV of the request 22 F1 90 and its answer. Returns the time
  // from the start call to the FINISHED item in nanoseconds, or 0 when the
  // ComPrimitive did not finish within timeoutMs or brought no result.
  uint64_t RoundTrip(uint32_t timeoutMs = 5000);

  // Bytes the log files hold now (0 when logging is off).
  uint64_t LogBytes() const;

  const std::string& Folder() const { return folder_; }

 private:
  static void Callback(uint32_t eventType, uint32_t hMod, uint32_t hCLL, void* cllTag, void* apiTag);
  void OnEvents(uint32_t hMod, uint32_t hCLL);

  std::string dataDir_;
  std::string port_;
  std::string folder_;  // temporary application folder, ends in '/'
  bool constructed_ = false;
  uint32_t hCLL_ = 0;

  std::mutex mu_;
  std::condition_variable cv_;
  uint32_t finishedCop_ = 0;      // hCoP of the last FINISHED item
  uint64_t finishedAtNs_ = 0;     // when the callback had it
  uint64_t results_ = 0;          // result items with a positive response
  uint64_t errors_ = 0;           // error items, and results that are not positive
};

// Monotonic nanoseconds.
uint64_t NowNs();

}  // namespace pdubench
