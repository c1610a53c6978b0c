#include "Scenarios.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <memory>
#include <vector>

#include "AllocCounter.h"
#include "BenchModule.h"
#include "device/DeviceFrame.h"
#include "device/DeviceLink.h"
#include "platform/Platform.h"

namespace pdubench {

namespace {

using pdu::device::DeviceLink;

// Targets of the module.
constexpr double kMedianTargetMs = 0.5;
constexpr double kP99TargetMs = 2.0;
constexpr double kLoggedMedianTargetMs = 1.5;
constexpr double kIdleTargetPercent = 0.1;
constexpr double kBusyCpuTargetUs = 100.0;
constexpr double kThroughputTargetMBs = 50.0;
constexpr double kMemoryGrowthTargetKiB = 1024.0;

// Largest frame the throughput stream carries; the drain buffer is sized so.
constexpr size_t kDrainBuffer = 5000;
// One read of the receive thread brings at most this much in practice.
constexpr size_t kChunk = 4096;

std::string Count(const char* what, uint64_t n) {
  char text[64];
  std::snprintf(text, sizeof text, "%llu %s", static_cast<unsigned long long>(n), what);
  return text;
}

// q-quantile (0 < q <= 1) of sorted samples, nearest rank.
double Quantile(const std::vector<uint64_t>& sorted, double q) {
  if (sorted.empty()) return 0;
  size_t rank = static_cast<size_t>(std::ceil(q * static_cast<double>(sorted.size())));
  rank = std::clamp<size_t>(rank, 1, sorted.size());
  return static_cast<double>(sorted[rank - 1]);
}

double Ms(double ns) { return ns / 1e6; }

// A stream of stuffed vehicle-data frames as a busy CAN link would bring
// them: record header, a 4-byte identifier and 4 to 60 message bytes of
// pseudo-random content (so about one byte in 128 needs an escape).
std::vector<uint8_t> VehicleDataStream(size_t frames) {
  std::vector<uint8_t> stream;
  uint8_t data[16 + 64];
  uint8_t built[pdu::device::kMaxBuiltFrame];
  uint8_t stuffed[pdu::device::kMaxStuffedFrame];
  uint32_t random = 0x2545F491;
  for (size_t k = 0; k < frames; ++k) {
    const uint32_t message = 8 + static_cast<uint32_t>((k * 37) % 57);
    std::fill(data, data + 16, 0);
    data[8] = 1;  // UniqueRespIdentifier
    data[12] = static_cast<uint8_t>(message);
    for (uint32_t i = 0; i < message; ++i) {
      random ^= random << 13;
      random ^= random >> 17;
      random ^= random << 5;
      data[16 + i] = static_cast<uint8_t>(random);
    }
    const size_t n = pdu::device::BuildFrame(pdu::device::kChannelVehicle, static_cast<uint8_t>(k), 0x1E, data,
                                             16 + message, built, sizeof built);
    const size_t s = pdu::device::StuffFrame(built, n, stuffed, sizeof stuffed);
    stream.insert(stream.end(), stuffed, stuffed + s);
  }
  return stream;
}

// Runs count round trips; latencies (ns) are appended when samples is not
// null. False when one of them failed.
bool RoundTrips(BenchModule& module, uint32_t count, std::vector<uint64_t>* samples, std::string& why) {
  for (uint32_t i = 0; i < count; ++i) {
    const uint64_t ns = module.RoundTrip();
    if (ns == 0) {
      why = "round trip " + std::to_string(i + 1) + " did not finish with a positive result";
      return false;
    }
    if (samples != nullptr) samples->push_back(ns);
  }
  return true;
}

}  // namespace

void RunReceiveThroughput(const BenchOptions& o, BenchVci& vci, Report& report) {
  auto link = std::make_unique<DeviceLink>();
  if (!link->OpenPortPath(vci.Path())) {
    report.Broken("receive_throughput", "cannot open " + vci.Path());
    return;
  }
  constexpr size_t kFrames = 20000;
  const std::vector<uint8_t> stream = VehicleDataStream(kFrames);
  std::vector<uint8_t> out(kDrainBuffer);

  uint64_t bytes = 0;
  uint64_t frames = 0;
  const uint64_t budget = static_cast<uint64_t>(o.throughputSeconds * 1e6);
  const uint64_t cpu0 = pdu::platform::ThreadCpuMicros();
  const uint64_t wall0 = NowNs();
  uint64_t cpu = 0;
  const uint64_t allocations0 = AllocationCount();
  do {
    uint64_t got = 0;
    for (size_t off = 0; off < stream.size(); off += kChunk) {
      const size_t n = std::min(kChunk, stream.size() - off);
      link->OnReceive(stream.data() + off, static_cast<uint32_t>(n));
      while (link->ReceiveVehicleData(out.data(), static_cast<uint32_t>(out.size()), 0) > 0) ++got;
    }
    if (got != kFrames) {
      report.Broken("receive_throughput",
                    Count("frames of", kFrames) + " sent, " + Count("came out", got) + " of the receive path");
      return;
    }
    bytes += stream.size();
    frames += got;
    cpu = pdu::platform::ThreadCpuMicros() - cpu0;
  } while (cpu < budget);
  const uint64_t allocations = AllocationCount() - allocations0;
  const double wallSec = static_cast<double>(NowNs() - wall0) / 1e9;
  const double cpuSec = static_cast<double>(cpu) / 1e6;
  link->ClosePort();

  report.AtLeast("receive_throughput", static_cast<double>(bytes) / cpuSec / 1e6, "MB/s", kThroughputTargetMBs,
                 Count("MB", bytes / 1000000) + " of stuffed frames in 4 KiB chunks, per CPU second");
  report.Info("receive_frames", static_cast<double>(frames) / cpuSec / 1e6, "M/s",
              "vehicle-data frames of 36-92 bytes");
  report.Info("receive_throughput_wall", static_cast<double>(bytes) / wallSec / 1e6, "MB/s", "per wall second");
  report.AtMost("receive_allocations", static_cast<double>(allocations), "", 0,
                Count("frames split, unstuffed, checked", frames));
}

namespace {

void RunIdle(const BenchOptions& o, BenchVci& vci, Report& report) {
  // A constructed module with a connected link and nothing to do.
  const CpuSnapshot a = CpuSnapshot::Take(vci.CpuMicros(), vci.Tid());
  pdu::platform::SleepMs(o.idleSeconds * 1000);
  const CpuSnapshot b = CpuSnapshot::Take(vci.CpuMicros(), vci.Tid());
  const double wall = static_cast<double>(b.wallMicros - a.wallMicros);
  const double cpu = static_cast<double>(CpuSnapshot::ModuleMicros(a, b));
  report.AtMost("idle_cpu", 100.0 * cpu / wall, "%", kIdleTargetPercent,
                Count("s", o.idleSeconds) + ", " + Count("us of CPU", static_cast<uint64_t>(cpu)));
  report.Info("idle_wakeups", static_cast<double>(b.moduleSwitches - a.moduleSwitches) / o.idleSeconds, "1/s",
              "context switches of the engine and receive threads");
}

bool RunRoundTrips(const BenchOptions& o, BenchModule& module, BenchVci& vci, Report& report) {
  std::string why;
  std::vector<uint64_t> samples;
  samples.reserve(o.roundTrips);
  RoundTrips(module, 50, nullptr, why);  // first touch of buffers and allocator
  const uint64_t allocations0 = AllocationCount();
  const CpuSnapshot a = CpuSnapshot::Take(vci.CpuMicros(), vci.Tid());
  if (!RoundTrips(module, o.roundTrips, &samples, why)) {
    report.Broken("roundtrip", why);
    return false;
  }
  const CpuSnapshot b = CpuSnapshot::Take(vci.CpuMicros(), vci.Tid());
  const uint64_t allocations = AllocationCount() - allocations0;
  std::sort(samples.begin(), samples.end());
  const std::string n = Count("round trips", samples.size());
  const double count = static_cast<double>(samples.size());
  report.AtMost("roundtrip_median", Ms(Quantile(samples, 0.5)), "ms", kMedianTargetMs, n);
  report.AtMost("roundtrip_p99", Ms(Quantile(samples, 0.99)), "ms", kP99TargetMs, n);
  report.Info("roundtrip_max", Ms(static_cast<double>(samples.back())), "ms", n);
  const auto slow = samples.end() - std::upper_bound(samples.begin(), samples.end(), uint64_t{2000000});
  report.Info("roundtrip_over_2ms", 100.0 * static_cast<double>(slow) / count, "%",
              "share of round trips above 2 ms");
  report.Info("roundtrip_other_load", CpuSnapshot::OthersPercent(a, b), "%",
              "of the machine's CPUs busy with other processes meanwhile");
  report.AtMost("busy_cpu_per_roundtrip", static_cast<double>(CpuSnapshot::ModuleMicros(a, b)) / count, "us",
                kBusyCpuTargetUs, "engine and receive threads");
  report.Info("switches_per_roundtrip", static_cast<double>(b.moduleSwitches - a.moduleSwitches) / count, "",
              "context switches of the engine and receive threads");
  report.Info("app_cpu_per_roundtrip", static_cast<double>(b.mainMicros - a.mainMicros) / count, "us",
              "PDUStartComPrimitive and the wait, on the application's thread");
  report.Info("allocations_per_roundtrip", static_cast<double>(allocations) / count, "",
              "result records, items and queue entries the API hands over");
  return true;
}

bool RunMemory(const BenchOptions& o, BenchModule& module, Report& report) {
  std::string why;
  if (!RoundTrips(module, o.memoryWarmup, nullptr, why)) {
    report.Broken("memory", why);
    return false;
  }
  const uint64_t before = ResidentKiB();
  if (!RoundTrips(module, o.memoryRoundTrips - o.memoryWarmup, nullptr, why)) {
    report.Broken("memory", why);
    return false;
  }
  const uint64_t after = ResidentKiB();
  const double growth = after > before ? static_cast<double>(after - before) : 0.0;
  report.AtMost("rss_growth", growth, "KiB", kMemoryGrowthTargetKiB,
                "after " + std::to_string(o.memoryWarmup) + " vs " + std::to_string(o.memoryRoundTrips) +
                    " round trips, RSS " + std::to_string(after) + " KiB");
  return true;
}

void RunLogged(const BenchOptions& o, BenchModule& module, Report& report) {
  // Every log line written and flushed.
  std::string why;
  std::vector<uint64_t> samples;
  samples.reserve(o.loggedRoundTrips);
  RoundTrips(module, 20, nullptr, why);
  const uint64_t logBefore = module.LogBytes();
  if (!RoundTrips(module, o.loggedRoundTrips, &samples, why)) {
    report.Broken("roundtrip_logged", why);
    return;
  }
  const uint64_t logAfter = module.LogBytes();
  std::sort(samples.begin(), samples.end());
  const std::string n = Count("round trips", samples.size());
  report.AtMost("roundtrip_logged_median", Ms(Quantile(samples, 0.5)), "ms", kLoggedMedianTargetMs, n);
  report.Info("roundtrip_logged_p99", Ms(Quantile(samples, 0.99)), "ms", n);
  report.Info("log_bytes_per_roundtrip", static_cast<double>(logAfter - logBefore) / static_cast<double>(samples.size()),
              "B", "main, data and contact log");
}

}  // namespace

void RunModuleScenarios(const BenchOptions& o, BenchVci& vci, Report& report) {
  BenchModule module(o.dataDir, vci.Path());
  std::string why;
  if (o.Runs("idle") || o.Runs("roundtrip") || o.Runs("memory")) {
    if (!module.Open(false, why)) {
      report.Broken("module", why);
      return;
    }
    if (o.Runs("idle")) RunIdle(o, vci, report);
    if (o.Runs("roundtrip") && !RunRoundTrips(o, module, vci, report)) return;
    if (o.Runs("memory") && !RunMemory(o, module, report)) return;
    module.Close();
  }
  if (o.Runs("logging")) {
    if (!module.Open(true, why)) {
      report.Broken("logging", why);
      return;
    }
    RunLogged(o, module, report);
    module.Close();
  }
}

}  // namespace pdubench
