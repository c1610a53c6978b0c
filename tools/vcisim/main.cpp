// vcisim: a VCI in software on a pseudo-terminal.
//
//   vcisim [--scenario FILE] [--link PATH] [--trace] [fault options]
//
// Prints the slave device path on the first line of its output, then
// serves until SIGINT/SIGTERM (or until --unplug-after pulls the plug).
// Point the library at it with PDU7318_PORTS=<path>.
#include <signal.h>
#include <string.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "Scenario.h"
#include "Simulator.h"

namespace {

int g_stopPipe[2] = {-1, -1};

void OnSignal(int) {
  char c = 1;
  ssize_t ignored = ::write(g_stopPipe[1], &c, 1);
  (void)ignored;
}

void Usage(FILE* out) {
  std::fprintf(out,
               "usage: vcisim [options]\n"
               "  --scenario FILE      ECUs and readings (data/scenarios/*.json); default: one UDS ECU\n"
               "  --link PATH          also make PATH a symbolic link to the slave device\n"
               "  --trace              print every frame in both directions, decoded\n"
               "  --silent-after N     answer nothing after the N-th received frame\n"
               "  --drop-every N       do not send every N-th outgoing frame\n"
               "  --corrupt-every N    send every N-th outgoing frame with a bad checksum\n"
               "  --garbage-every N    send stray bytes before every N-th outgoing frame\n"
               "  --split-writes       write the answers byte by byte\n"
               "  --unplug-after N     close the port after the N-th received frame and exit\n"
               "  --open-status S      status of the OPEN answer (default 0)\n"
               "  --help\n");
}

bool ParseCount(const char* text, uint32_t& out) {
  char* end = nullptr;
  unsigned long v = std::strtoul(text, &end, 0);
  if (end == text || *end != '\0' || v > 0xFFFFFFFFul) return false;
  out = static_cast<uint32_t>(v);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  vcisim::SimOptions options;
  std::string scenarioPath;

  for (int i = 1; i < argc; ++i) {
    std::string_view arg = argv[i];
    auto value = [&](const char* name) -> const char* {
      if (i + 1 >= argc) {
        std::fprintf(stderr, "vcisim: %s needs a value\n", name);
        std::exit(2);
      }
      return argv[++i];
    };
    auto count = [&](const char* name, uint32_t& out) {
      const char* v = value(name);
      if (!ParseCount(v, out)) {
        std::fprintf(stderr, "vcisim: %s: not a number: %s\n", name, v);
        std::exit(2);
      }
    };
    if (arg == "--scenario") {
      scenarioPath = value("--scenario");
    } else if (arg == "--link") {
      options.linkPath = value("--link");
    } else if (arg == "--trace") {
      options.trace = true;
    } else if (arg == "--silent-after") {
      count("--silent-after", options.faults.silentAfter);
    } else if (arg == "--drop-every") {
      count("--drop-every", options.faults.dropEvery);
    } else if (arg == "--corrupt-every") {
      count("--corrupt-every", options.faults.corruptEvery);
    } else if (arg == "--garbage-every") {
      count("--garbage-every", options.faults.garbageEvery);
    } else if (arg == "--unplug-after") {
      count("--unplug-after", options.faults.unplugAfter);
    } else if (arg == "--split-writes") {
      options.faults.splitWrites = true;
    } else if (arg == "--open-status") {
      count("--open-status", options.openStatus);
    } else if (arg == "--help" || arg == "-h") {
      Usage(stdout);
      return 0;
    } else {
      std::fprintf(stderr, "vcisim: unknown option %s\n", argv[i]);
      Usage(stderr);
      return 2;
    }
  }

  vcisim::Scenario scenario;
  if (scenarioPath.empty()) {
    scenario = vcisim::DefaultScenario();
  } else {
    std::string error;
    auto loaded = vcisim::LoadScenario(scenarioPath, error);
    if (!loaded) {
      std::fprintf(stderr, "vcisim: %s\n", error.c_str());
      return 2;
    }
    scenario = std::move(*loaded);
  }

  if (::pipe(g_stopPipe) != 0) {
    std::perror("vcisim: pipe");
    return 1;
  }
  struct sigaction sa {};
  sa.sa_handler = OnSignal;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
  signal(SIGPIPE, SIG_IGN);

  vcisim::Simulator sim(scenario, options);
  std::string error;
  if (!sim.Start(error)) {
    std::fprintf(stderr, "vcisim: %s\n", error.c_str());
    return 1;
  }
  std::printf("%s\n", sim.SlavePath().c_str());
  std::printf("vcisim: scenario \"%s\" with %zu ECU(s)%s%s\n", scenario.name.c_str(), scenario.ecus.size(),
              options.linkPath.empty() ? "" : ", linked at ", options.linkPath.c_str());
  for (const vcisim::EcuConfig& e : scenario.ecus) {
    if (e.bus == vcisim::EcuBus::kCan) {
      std::printf("vcisim:   %-10s CAN    request 0x%X response 0x%X\n", e.name.c_str(), e.requestId, e.responseId);
    } else {
      std::printf("vcisim:   %-10s %-6s address 0x%X\n", e.name.c_str(), e.bus == vcisim::EcuBus::kKLine ? "K-line" : "TP2.0",
                  e.address);
    }
  }
  int rc = sim.Run(g_stopPipe[0]);
  std::printf("vcisim: stopped\n");
  return rc;
}
