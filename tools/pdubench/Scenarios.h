// The benchmark's scenarios. Each adds its figures (or a broken line) to
// the report.
#pragma once

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "BenchVci.h"
#include "Report.h"

namespace pdubench {

struct BenchOptions {
  bool quick = false;
  std::string dataDir;             // holds MDF.xml
  uint32_t roundTrips = 10000;     // latency sample, logging off
  uint32_t loggedRoundTrips = 2000;
  uint32_t memoryWarmup = 1000;    // RSS is taken after these ...
  uint32_t memoryRoundTrips = 100000;  // ... and compared after these
  uint32_t idleSeconds = 10;
  double throughputSeconds = 1.0;  // CPU time spent feeding the receive path
  // Scenarios to run (throughput, idle, roundtrip, memory, logging, livebus); empty
  // runs all.
  std::vector<std::string> only;

  bool Runs(const std::string& scenario) const {
    return only.empty() || std::find(only.begin(), only.end(), scenario) != only.end();
  }

  // The small sizes of --quick: it proves that everything runs.
  void MakeQuick() {
    quick = true;
    roundTrips = 300;
    loggedRoundTrips = 100;
    memoryWarmup = 200;
    memoryRoundTrips = 1000;
    idleSeconds = 1;
    throughputSeconds = 0.1;
  }
};

// Frame split, unstuffing and check of the device link's receive path, fed
// with a stream of vehicle-data frames and drained as the engine drains it.
void RunReceiveThroughput(const BenchOptions& o, BenchVci& vci, Report& report);

// A raw CAN link listening on a 1 ms bus (its own VCI): frames per second
// received, frames lost, PDUDestruct while the stream runs.
void RunLiveBus(const BenchOptions& o, Report& report);

// Idle CPU, round-trip latency, busy CPU and memory with logging off, then
// the round trip with logging on (as far as options.only selects them).
void RunModuleScenarios(const BenchOptions& o, BenchVci& vci, Report& report);

}  // namespace pdubench
