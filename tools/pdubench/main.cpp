// pdubench: measures the module against the figures it promises.
//
//   pdubench [--quick] [--json] [--data DIR] [--only LIST] [--roundtrips N]
//
// It starts an in-process VCI on a pseudo-terminal that answers at once
// (BenchVci), then runs the scenarios: receive-path throughput, idle CPU,
// the SENDRECV round trip with logging off (latency, CPU, memory) and with
// logging on. One line per figure: name, value, unit, target, pass/fail;
// --json prints the same as one JSON document.
//
// Exit status: 0 when every target is met, 1 when one is missed, 2 when a
// scenario could not run (the module or the simulator is broken) or the
// command line is wrong. --quick runs a few seconds with small samples: it
// proves that every scenario works, so a missed target does not fail it
// (shared CI machines are noisy); only a broken scenario does.
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <string_view>

#include "BenchVci.h"
#include "Report.h"
#include "Scenarios.h"

#ifndef PDUBENCH_DATA_DIR
#define PDUBENCH_DATA_DIR "data"
#endif

namespace {

void Usage(FILE* out) {
  std::fprintf(out,
               "usage: pdubench [options]\n"
               "  --quick          small samples, a few seconds; exit 0 unless something is broken\n"
               "  --json           print the figures as one JSON document\n"
               "  --data DIR       folder with MDF.xml (default: %s)\n"
               "  --only LIST      comma-separated scenarios: throughput, idle, roundtrip,\n"
               "                   memory, logging, livebus (default: all)\n"
               "  --roundtrips N   latency sample with logging off (default 10000)\n"
               "  --help\n",
               PDUBENCH_DATA_DIR);
}

std::string CpuModel() {
  std::ifstream in("/proc/cpuinfo");
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind("model name", 0) == 0) {
      const size_t colon = line.find(':');
      if (colon != std::string::npos) return line.substr(colon + 2);
    }
  }
  return "unknown";
}

std::string LoadAverage() {
  std::ifstream in("/proc/loadavg");
  std::string a, b, c;
  in >> a >> b >> c;
  return a + " " + b + " " + c;
}

}  // namespace

int main(int argc, char** argv) {
  pdubench::BenchOptions options;
  options.dataDir = PDUBENCH_DATA_DIR;
  bool json = false;
  std::string only;
  uint32_t roundTrips = 0;
  for (int i = 1; i < argc; ++i) {
    std::string_view arg = argv[i];
    if (arg == "--quick") {
      options.MakeQuick();
    } else if (arg == "--json") {
      json = true;
    } else if ((arg == "--data" || arg == "--only") && i + 1 < argc) {
      (arg == "--data" ? options.dataDir : only) = argv[++i];
    } else if (arg == "--roundtrips" && i + 1 < argc) {
      char* end = nullptr;
      const unsigned long n = std::strtoul(argv[++i], &end, 10);
      if (*end != '\0' || n == 0 || n > 10000000) {
        std::fprintf(stderr, "pdubench: --roundtrips takes a count from 1 to 10000000\n");
        return 2;
      }
      roundTrips = static_cast<uint32_t>(n);
    } else if (arg == "--help" || arg == "-h") {
      Usage(stdout);
      return 0;
    } else {
      std::fprintf(stderr, "pdubench: unknown option %s\n", argv[i]);
      Usage(stderr);
      return 2;
    }
  }
  if (roundTrips != 0) options.roundTrips = roundTrips;
  for (size_t start = 0; !only.empty() && start <= only.size();) {
    const size_t comma = std::min(only.find(',', start), only.size());
    const std::string name = only.substr(start, comma - start);
    if (name != "throughput" && name != "idle" && name != "roundtrip" && name != "memory" && name != "logging" &&
        name != "livebus") {
      std::fprintf(stderr, "pdubench: unknown scenario '%s'\n", name.c_str());
      return 2;
    }
    options.only.push_back(name);
    start = comma + 1;
  }
  // The library writes to a pty the simulator may have closed.
  signal(SIGPIPE, SIG_IGN);

  pdubench::Report report;
  report.SetContext("mode", options.quick ? "quick" : "full");
  report.SetContext("cpus", std::to_string(::sysconf(_SC_NPROCESSORS_ONLN)));
  report.SetContext("cpu_model", CpuModel());
  report.SetContext("load_before", LoadAverage());

  pdubench::BenchVci vci;
  std::string error;
  if (!vci.Start(error)) {
    std::fprintf(stderr, "pdubench: %s\n", error.c_str());
    return 2;
  }
  if (options.Runs("throughput")) pdubench::RunReceiveThroughput(options, vci, report);
  pdubench::RunModuleScenarios(options, vci, report);
  vci.Stop();
  if (options.Runs("livebus")) pdubench::RunLiveBus(options, report);
  report.SetContext("load_after", LoadAverage());

  if (json) {
    report.PrintJson(stdout);
  } else {
    report.PrintText(stdout);
  }
  if (report.AnyBroken()) return 2;
  if (options.quick) return 0;
  return report.AllPass() ? 0 : 1;
}
