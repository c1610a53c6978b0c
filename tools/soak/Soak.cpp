// soak: runs many ComPrimitives through the library against vcisim with
// injected faults and checks that nothing is lost or kept.
//
//   soak [--count N] [--fault-every N] [--vcisim PATH] [--scenario FILE]
//        [--mdf PATH] [--max-rss-growth-kb K] [--quiet]
//
//   --count N          ComPrimitives to run (default 20000)
//   --fault-every N    vcisim drops, corrupts and pads with garbage every
//                      N-th outgoing frame, each kind offset from the other
//                      (default 600: a ComPrimitive exchanges about two
//                      frames, so about 1 % of them meet a fault; 0: none)
//   --vcisim PATH      the simulator (default: vcisim beside this program)
//   --scenario FILE    vcisim's scenario (default: soak-scenario.json beside
//                      this source, one UDS ECU answering within 1 ms)
//   --mdf PATH         module description (default: the source tree's data/MDF.xml)
//   --max-rss-growth-kb K  allowed RSS growth from the end of the warm-up
//                      to the end of the run (default 2048)
//
// The mix, per 100 ComPrimitives on two CAN links: 88 SENDRECV (three
// different requests), 4 UPDATEPARAM, 4 STOPCOMM + 4 STARTCOMM; and one
// I/O control reading (battery or ignition) every 25 ComPrimitives.
//
// Checks, each one a failed run when broken:
//   - every started ComPrimitive ends with exactly one FINISHED item, and no
//     item names a ComPrimitive that was not started;
//   - every result item carries the answer to its own request (positive or
//     negative response of the service sent);
//   - every item is released: the library's live allocations after the run
//     are those after the warm-up (all operator new / delete of the process
//     are counted; the library is linked in statically);
//   - RSS after the run exceeds RSS after the warm-up by at most the limit.
// The report gives the counts, the time and the figures of both checks.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <mutex>
#include <new>
#include <string>
#include <vector>

#include "device/DeviceLink.h"
#include "pdu_api.h"

extern char** environ;

// ---- allocation counting ------------------------------------------------------
// Every operator new/delete of the process goes through here; the counts
// are only read at quiet moments (all ComPrimitives finished).
namespace {
std::atomic<int64_t> g_liveBlocks{0};
std::atomic<int64_t> g_liveBytes{0};

void* CountedAlloc(std::size_t n) {
  // A size prefix keeps the byte count exact; 16 keeps the alignment.
  void* p = std::malloc(n + 16);
  if (p == nullptr) throw std::bad_alloc();
  *static_cast<std::size_t*>(p) = n;
  ++g_liveBlocks;
  g_liveBytes += static_cast<int64_t>(n);
  return static_cast<char*>(p) + 16;
}
void CountedFree(void* p) noexcept {
  if (p == nullptr) return;
  char* base = static_cast<char*>(p) - 16;
  --g_liveBlocks;
  g_liveBytes -= static_cast<int64_t>(*reinterpret_cast<std::size_t*>(base));
  std::free(base);
}
}  // namespace

void* operator new(std::size_t n) { return CountedAlloc(n); }
void* operator new[](std::size_t n) { return CountedAlloc(n); }
void* operator new(std::size_t n, const std::nothrow_t&) noexcept {
  try {
    return CountedAlloc(n);
  } catch (...) {
    return nullptr;
  }
}
void* operator new[](std::size_t n, const std::nothrow_t&) noexcept {
  try {
    return CountedAlloc(n);
  } catch (...) {
    return nullptr;
  }
}
void operator delete(void* p) noexcept { CountedFree(p); }
void operator delete[](void* p) noexcept { CountedFree(p); }
void operator delete(void* p, std::size_t) noexcept { CountedFree(p); }
void operator delete[](void* p, std::size_t) noexcept { CountedFree(p); }

namespace {

using Clock = std::chrono::steady_clock;
constexpr uint32_t kMod = 1;
constexpr uint32_t kCanResource = 1001;  // RSC_ISO_15765_3_on_ISO_15765_2_6_14
constexpr int kLinks = 2;
constexpr size_t kOutstanding = 2;  // ComPrimitives queued ahead per link

struct Options {
  uint64_t count = 20000;
  uint32_t faultEvery = 600;
  std::string vcisim;
  std::string scenario = std::string(PDU7318_SOURCE_DIR) + "/tools/soak/soak-scenario.json";
  std::string mdf = std::string(PDU7318_SOURCE_DIR) + "/data/MDF.xml";
  uint64_t maxRssGrowthKb = 2048;
  bool quiet = false;
};

uint64_t RssKb() {
  std::ifstream statm("/proc/self/statm");
  uint64_t size = 0, resident = 0;
  statm >> size >> resident;
  return resident * static_cast<uint64_t>(sysconf(_SC_PAGESIZE)) / 1024;
}

std::string SelfDir() {
  char buf[4096];
  const ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
  if (n <= 0) return ".";
  std::string path(buf, static_cast<size_t>(n));
  return path.substr(0, path.rfind('/'));
}

// The requests of the SENDRECV mix and the service byte of their answers.
const std::vector<std::vector<uint8_t>>& Requests() {
  static const std::vector<std::vector<uint8_t>> r = {{0x22, 0xF1, 0x90}, {0x3E, 0x00}, {0x10, 0x03}};
  return r;
}

// What the callbacks saw. One instance; the callback is a plain function.
struct Ledger {
  std::mutex m;
  std::condition_variable cv;
  // Per hCoP: the index of its request in Requests() (-1: not a SENDRECV),
  // how many FINISHED items came, whether it was started.
  struct Cop {
    int request = -1;
    uint32_t finished = 0;
    bool started = false;
    uint32_t hCLL = 0;
  };
  // Indexed by hCoP, allocated before the run so that the ledger itself
  // does not grow while the allocations are counted.
  std::vector<Cop> cops;
  uint64_t outOfRange = 0;  // items with an hCoP beyond any started one
  std::map<uint32_t, size_t> running;  // per link: started, not finished
  uint64_t items = 0, results = 0, errors = 0, statusItems = 0, linkStatusItems = 0;
  uint64_t doubleFinished = 0, unknownCop = 0, wrongResults = 0, destroyFailures = 0;
};
Ledger* g_ledger = nullptr;

void PDU_CALL OnEvent(T_PDU_EVT_DATA, UNUM32 hMod, UNUM32 hCLL, void*, void*) {
  PDU_EVENT_ITEM* ev = nullptr;
  while (PDUGetEventItem(hMod, hCLL, &ev) == PDU_STATUS_NOERROR) {
    Ledger& l = *g_ledger;
    std::unique_lock<std::mutex> g(l.m);
    ++l.items;
    if (ev->ItemType == PDU_IT_STATUS && ev->hCop == 0xFFFFFFFFu) {
      ++l.linkStatusItems;  // ONLINE / OFFLINE of the link
    } else {
      if (ev->hCop >= l.cops.size()) {
        ++l.outOfRange;
        g.unlock();
        PDUDestroyItem(reinterpret_cast<PDU_ITEM*>(ev));
        continue;
      }
      // The item can come before the starter has recorded the handle.
      Ledger::Cop& cop = l.cops[ev->hCop];
      if (!cop.started) cop.hCLL = hCLL;
      if (ev->ItemType == PDU_IT_RESULT) {
        ++l.results;
        auto* r = static_cast<PDU_RESULT_DATA*>(ev->pData);
        const uint8_t first = r->NumDataBytes > 0 ? r->pDataBytes[0] : 0;
        const uint8_t expected = cop.request >= 0 ? static_cast<uint8_t>(Requests()[cop.request][0] + 0x40) : 0;
        // Results are checked once the starter has recorded the request.
        if (cop.request >= 0 && first != expected && first != 0x7F) ++l.wrongResults;
      } else if (ev->ItemType == PDU_IT_ERROR) {
        ++l.errors;
      } else if (ev->ItemType == PDU_IT_STATUS) {
        ++l.statusItems;
        if (*static_cast<uint32_t*>(ev->pData) == PDU_COPST_FINISHED) {
          if (++cop.finished > 1) ++l.doubleFinished;
          if (cop.started && cop.finished == 1) --l.running[cop.hCLL];
          l.cv.notify_all();
        }
      }
    }
    g.unlock();
    if (PDUDestroyItem(reinterpret_cast<PDU_ITEM*>(ev)) != PDU_STATUS_NOERROR) {
      std::lock_guard<std::mutex> g2(l.m);
      ++l.destroyFailures;
    }
  }
}

// Records a started ComPrimitive (its items may already have come).
void RecordStart(Ledger& l, uint32_t hCoP, uint32_t hCLL, int request) {
  std::lock_guard<std::mutex> g(l.m);
  if (hCoP >= l.cops.size()) {
    ++l.outOfRange;
    return;
  }
  Ledger::Cop& cop = l.cops[hCoP];
  cop.started = true;
  cop.request = request;
  cop.hCLL = hCLL;
  if (cop.finished == 0) ++l.running[hCLL];
}

// ---- vcisim -------------------------------------------------------------------

struct Simulator {
  pid_t pid = -1;
  std::string slave;

  bool Start(const Options& o) {
    std::vector<std::string> args = {o.vcisim, "--scenario", o.scenario};
    if (o.faultEvery > 0) {
      // Three kinds, offset so that they rarely hit the same frame.
      args.insert(args.end(), {"--drop-every", std::to_string(o.faultEvery), "--corrupt-every",
                               std::to_string(o.faultEvery + 1), "--garbage-every",
                               std::to_string(o.faultEvery + 2)});
    }
    int out[2];
    if (pipe(out) != 0) return false;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&actions, out[0]);
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    const int rc = posix_spawn(&pid, o.vcisim.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    if (rc != 0) {
      close(out[0]);
      std::fprintf(stderr, "soak: cannot start %s: %s\n", o.vcisim.c_str(), std::strerror(rc));
      return false;
    }
    // The first line is the slave device path; the rest is not needed, but
    // the pipe is drained by a thread-free trick: its read end is closed
    // and vcisim ignores SIGPIPE.
    char c;
    while (read(out[0], &c, 1) == 1 && c != '\n') slave.push_back(c);
    close(out[0]);
    return !slave.empty();
  }
  void Stop() {
    if (pid <= 0) return;
    kill(pid, SIGTERM);
    int status = 0;
    waitpid(pid, &status, 0);
    pid = -1;
  }
  ~Simulator() { Stop(); }
};

// ---- the run ------------------------------------------------------------------

bool ParseArgs(int argc, char** argv, Options& o) {
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    auto next = [&]() -> const char* { return i + 1 < argc ? argv[++i] : nullptr; };
    const char* v = nullptr;
    if (a == "--quiet") {
      o.quiet = true;
    } else if (a == "--count" && (v = next())) {
      o.count = std::strtoull(v, nullptr, 10);
    } else if (a == "--fault-every" && (v = next())) {
      o.faultEvery = static_cast<uint32_t>(std::strtoul(v, nullptr, 10));
    } else if (a == "--vcisim" && (v = next())) {
      o.vcisim = v;
    } else if (a == "--scenario" && (v = next())) {
      o.scenario = v;
    } else if (a == "--mdf" && (v = next())) {
      o.mdf = v;
    } else if (a == "--max-rss-growth-kb" && (v = next())) {
      o.maxRssGrowthKb = std::strtoull(v, nullptr, 10);
    } else {
      std::fprintf(stderr, "usage: soak [--count N] [--fault-every N] [--vcisim PATH] [--scenario FILE] "
                           "[--mdf PATH] [--max-rss-growth-kb K] [--quiet]\n");
      return false;
    }
  }
  if (o.vcisim.empty()) o.vcisim = SelfDir() + "/vcisim";
  return o.count > 0;
}

// An application folder with the module description and no logging.
std::string MakeHome(const Options& o) {
  std::string pattern = "/tmp/pdu7318-soak-XXXXXX";
  if (mkdtemp(pattern.data()) == nullptr) return "";
  const std::string home = pattern + "/";
  std::ifstream in(o.mdf, std::ios::binary);
  std::ofstream out(home + "MDF.xml", std::ios::binary);
  out << in.rdbuf();
  return in && out ? home : "";
}

uint32_t IdOf(const char* name) {
  UNUM32 id = 0;
  PDUGetObjectId(PDU_OBJT_IO_CTRL, const_cast<CHAR8*>(name), &id);
  return id;
}

// Waits until the link has fewer than limit ComPrimitives running; false
// when none ended for a minute (a lost event).
bool WaitRoom(Ledger& l, uint32_t hCLL, size_t limit) {
  std::unique_lock<std::mutex> g(l.m);
  return l.cv.wait_for(g, std::chrono::seconds(60), [&] { return l.running[hCLL] < limit; });
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  if (!ParseArgs(argc, argv, o)) return 2;
  const std::string home = MakeHome(o);
  if (home.empty()) {
    std::fprintf(stderr, "soak: cannot set up an application folder with %s\n", o.mdf.c_str());
    return 2;
  }
  Simulator sim;
  if (!sim.Start(o)) return 2;
  setenv("PDU7318_HOME", home.c_str(), 1);
  setenv("PDU7318_LOG_PATH", home.c_str(), 1);
  setenv("PDU7318_PORTS", sim.slave.c_str(), 1);

  Ledger ledger;
  ledger.cops.resize(o.count + 1);  // hCoP counts from 1 per construction
  g_ledger = &ledger;
  PDUConstruct(nullptr, nullptr);
  if (pdu::device::GetDeviceLink() == nullptr) {
    std::fprintf(stderr, "soak: the library did not find vcisim at %s\n", sim.slave.c_str());
    return 1;
  }
  uint32_t links[kLinks] = {};
  for (uint32_t& h : links) {
    PDUCreateComLogicalLink(kMod, nullptr, kCanResource, nullptr, &h, nullptr);
    PDURegisterEventCallback(kMod, h, OnEvent);
    PDUConnect(kMod, h);
  }
  const uint32_t vbatt = IdOf("PDU_IOCTL_READ_VBATT");
  const uint32_t ignition = IdOf("PDU_IOCTL_READ_IGNITION_SENSE_STATE");

  const uint64_t warmup = std::max<uint64_t>(o.count / 20, 200);
  uint64_t rssAfterWarmup = 0, rssMax = 0;
  int64_t blocksAfterWarmup = 0, bytesAfterWarmup = 0;
  uint64_t ioctlOk = 0, ioctlFailed = 0, lost = 0;
  std::map<uint32_t, uint64_t> started;  // per CoPType
  const auto t0 = Clock::now();
  auto lastReport = t0;

  auto drain = [&](uint32_t timeoutMs) {
    std::unique_lock<std::mutex> g(ledger.m);
    return ledger.cv.wait_for(g, std::chrono::milliseconds(timeoutMs), [&] {
      for (const auto& [h, n] : ledger.running)
        if (n != 0) return false;
      return true;
    });
  };

  for (uint64_t i = 0; i < o.count; ++i) {
    const uint32_t hCLL = links[i % kLinks];
    if (!WaitRoom(ledger, hCLL, kOutstanding)) {
      ++lost;
      break;
    }
    const uint64_t slot = (i / kLinks) % 100;
    T_PDU_COPT type = PDU_COPT_SENDRECV;
    if (slot % 25 == 3) type = PDU_COPT_UPDATEPARAM;
    if (slot % 25 == 7) type = PDU_COPT_STOPCOMM;
    if (slot % 25 == 8) type = PDU_COPT_STARTCOMM;
    const int request = type == PDU_COPT_SENDRECV ? static_cast<int>(i % Requests().size()) : -1;
    std::vector<uint8_t> data = request >= 0 ? Requests()[request] : std::vector<uint8_t>{};
    PDU_COP_CTRL_DATA ctrl{};
    ctrl.NumSendCycles = 1;
    ctrl.NumReceiveCycles = 1;
    uint32_t hCoP = 0;
    PDUStartComPrimitive(kMod, hCLL, type, static_cast<UNUM32>(data.size()), data.empty() ? nullptr : data.data(),
                         &ctrl, nullptr, &hCoP);
    RecordStart(ledger, hCoP, hCLL, request);
    ++started[type];

    if (i % 25 == 24) {
      PDU_DATA_ITEM* item = nullptr;
      const T_PDU_ERROR s = PDUIoCtl(kMod, 0, (i / 25) % 2 ? ignition : vbatt, nullptr, &item);
      (s == PDU_STATUS_NOERROR ? ioctlOk : ioctlFailed)++;
      if (item != nullptr) PDUDestroyItem(reinterpret_cast<PDU_ITEM*>(item));
    }
    if (i + 1 == warmup) {
      drain(60000);
      rssAfterWarmup = RssKb();
      blocksAfterWarmup = g_liveBlocks.load();
      bytesAfterWarmup = g_liveBytes.load();
    }
    rssMax = std::max(rssMax, RssKb());
    if (!o.quiet && Clock::now() - lastReport > std::chrono::seconds(10)) {
      lastReport = Clock::now();
      std::lock_guard<std::mutex> g(ledger.m);
      std::printf("soak: %llu/%llu started, %llu results, %llu errors, RSS %llu kB\n",
                  static_cast<unsigned long long>(i + 1), static_cast<unsigned long long>(o.count),
                  static_cast<unsigned long long>(ledger.results), static_cast<unsigned long long>(ledger.errors),
                  static_cast<unsigned long long>(RssKb()));
      std::fflush(stdout);
    }
  }
  const bool drained = drain(60000);
  const double seconds = std::chrono::duration<double>(Clock::now() - t0).count();
  const uint64_t rssEnd = RssKb();
  const int64_t blocksEnd = g_liveBlocks.load();
  const int64_t bytesEnd = g_liveBytes.load();

  for (uint32_t h : links) {
    PDUDisconnect(kMod, h);
    PDUDestroyComLogicalLink(kMod, h);
  }
  PDUDestruct();
  sim.Stop();

  // ---- the verdict ----
  std::lock_guard<std::mutex> g(ledger.m);
  uint64_t startedTotal = 0, finishedOnce = 0, neverFinished = 0;
  for (const auto& [type, n] : started) startedTotal += n;
  for (const Ledger::Cop& cop : ledger.cops) {
    if (!cop.started) {
      if (cop.finished != 0) ++ledger.unknownCop;
    } else if (cop.finished == 0) {
      ++neverFinished;
    } else {
      ++finishedOnce;
    }
  }
  const int64_t blockGrowth = blocksEnd - blocksAfterWarmup;
  const int64_t rssGrowth = static_cast<int64_t>(rssEnd) - static_cast<int64_t>(rssAfterWarmup);
  std::printf("soak: %llu ComPrimitives in %.1f s (%.0f/s): %llu SENDRECV, %llu UPDATEPARAM, %llu STARTCOMM, "
              "%llu STOPCOMM; fault every %u frames\n",
              static_cast<unsigned long long>(startedTotal), seconds, startedTotal / seconds,
              static_cast<unsigned long long>(started[PDU_COPT_SENDRECV]),
              static_cast<unsigned long long>(started[PDU_COPT_UPDATEPARAM]),
              static_cast<unsigned long long>(started[PDU_COPT_STARTCOMM]),
              static_cast<unsigned long long>(started[PDU_COPT_STOPCOMM]), o.faultEvery);
  std::printf("soak: items %llu (results %llu, errors %llu, status %llu, link status %llu); FINISHED once %llu, "
              "never %llu, twice %llu; unknown hCoP %llu; wrong results %llu; destroy failures %llu\n",
              static_cast<unsigned long long>(ledger.items), static_cast<unsigned long long>(ledger.results),
              static_cast<unsigned long long>(ledger.errors), static_cast<unsigned long long>(ledger.statusItems),
              static_cast<unsigned long long>(ledger.linkStatusItems), static_cast<unsigned long long>(finishedOnce),
              static_cast<unsigned long long>(neverFinished), static_cast<unsigned long long>(ledger.doubleFinished),
              static_cast<unsigned long long>(ledger.unknownCop), static_cast<unsigned long long>(ledger.wrongResults),
              static_cast<unsigned long long>(ledger.destroyFailures));
  std::printf("soak: I/O control readings %llu answered, %llu failed\n", static_cast<unsigned long long>(ioctlOk),
              static_cast<unsigned long long>(ioctlFailed));
  std::printf("soak: live allocations after warm-up %lld blocks / %lld bytes, at the end %lld / %lld (growth %lld "
              "blocks)\n",
              static_cast<long long>(blocksAfterWarmup), static_cast<long long>(bytesAfterWarmup),
              static_cast<long long>(blocksEnd), static_cast<long long>(bytesEnd), static_cast<long long>(blockGrowth));
  std::printf("soak: RSS after warm-up %llu kB, at the end %llu kB (growth %lld kB, limit %llu), peak %llu kB\n",
              static_cast<unsigned long long>(rssAfterWarmup), static_cast<unsigned long long>(rssEnd),
              static_cast<long long>(rssGrowth), static_cast<unsigned long long>(o.maxRssGrowthKb),
              static_cast<unsigned long long>(rssMax));

  bool ok = true;
  auto fail = [&](const char* why) {
    std::printf("soak: FAILED: %s\n", why);
    ok = false;
  };
  if (lost != 0 || !drained || neverFinished != 0) fail("a ComPrimitive never ended with FINISHED");
  if (ledger.doubleFinished != 0) fail("a ComPrimitive ended twice");
  if (ledger.unknownCop != 0 || ledger.outOfRange != 0) fail("an item named a ComPrimitive that was not started");
  if (ledger.wrongResults != 0) fail("a result answered another request");
  if (ledger.destroyFailures != 0) fail("PDUDestroyItem refused an item");
  if (startedTotal != o.count) fail("not every ComPrimitive was started");
  // Deques keep a spare chunk or two; anything per ComPrimitive would be
  // thousands of blocks.
  if (blockGrowth > 64) fail("live allocations grew: items or jobs are kept");
  if (rssGrowth > static_cast<int64_t>(o.maxRssGrowthKb)) fail("RSS grew");
  std::printf("soak: %s\n", ok ? "ok" : "FAILED");
  return ok ? 0 : 1;
}
