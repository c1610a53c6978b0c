// pdutool: a command-line D-PDU API client.
//
//   pdutool [global options] COMMAND [options]     (pdutool --help lists them)
//
// The library is loaded with dlopen (default: ../lib/libpdu7318.so next to
// this program, else the installed libpdu7318.so.1; with --root NAME the
// root description file's entry) and only its 29 exported functions are
// used, so any vendor's library can be driven. docs/pdutool.md describes
// the commands, the exit codes and the --json output.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <sstream>
#include <string>
#include <string_view>

#include "Cli.h"
#include "Client.h"
#include "Commands.h"
#include "Doctor.h"
#include "ModuleDescription.h"
#include "Numbers.h"
#include "PduLibrary.h"
#include "RootFile.h"
#include "Shell.h"
#include "Signals.h"
#include "UsageOs.h"

#ifndef PDUTOOL_VERSION
#define PDUTOOL_VERSION "unknown"
#endif

namespace {

using namespace pdutool;

// The usage of this build: its OS's defaults, only the commands it has.
void Usage(FILE* out) {
  const OsUsage& os = ThisOsUsage();
  std::fprintf(out,
               "usage: pdutool [global options] COMMAND [options]\n"
               "global options:\n"
               "  --lib PATH        D-PDU library to load (default: %s)\n"
               "  --root [NAME]     without NAME: list the APIs of the root description file;\n"
               "                    with NAME: load the library of that entry\n"
               "  --root-file FILE  root description file (default %s)\n"
               "  --json            print one JSON document instead of text (docs/pdutool.md)\n"
               "  --callback        wait for the library's event callback (default)\n"
               "  --poll            poll for events every 5 ms instead of waiting for the callback\n"
               "  --wait TIME       longest wait for one ComPrimitive: 2000, 2000ms or 2s (default 20s)\n"
               "  --time rel|abs    transcript times since the request (default) or wall-clock\n"
               "  --trace FILE      session, shell, run, scan: requests and answers in candump log format\n"
               "  --version         print pdutool's version\n"
               "  --help, -h        this text\n"
               "commands:\n"
               "  info [--mdf FILE]     module ids, version, status, objects by type\n"
               "                        (resources from FILE, default %s)\n"
               "  session --resource NAME|ID [options] REQUEST...\n"
               "      --param NAME=VALUE    set a ComParam before connecting (repeatable; checked\n"
               "                            against the module description first)\n"
               "      --resp-id ID          unique response entry CP_CanRespUSDTId=ID (repeatable)\n"
               "      --unique N=V[,N=V]    unique response entry with these ComParams (repeatable)\n"
               "      --tx ID --rx ID       CAN request and response identifiers\n"
               "      --functional          functional addressing (CP_RequestAddrMode=2), several answers\n"
               "      --cycles N            NumReceiveCycles of each request (default 1, -1 functional)\n"
               "      --no-startcomm        no STARTCOMM/STOPCOMM around the requests\n"
               "      --startcomm-data HEX  request bytes of the STARTCOMM\n"
               "      --mdf FILE            module description for the checks\n"
               "      --trace FILE          requests and answers with times in candump log format\n"
               "      REQUEST               hex bytes, e.g. 22F190 or \"22 F1 90\"\n"
               "  ioctl vbatt|ignition|PDU_IOCTL_NAME\n"
               "  params --resource NAME|ID [--mdf FILE]\n"
               "                        every ComParam of the resource: id, default, type, class\n",
               os.library, os.rootFile, os.mdf);
  if (os.shell) {
    std::fprintf(out,
                 "  shell [--trace FILE]  interactive session (type help); reads commands from\n"
                 "                        stdin when it is not a terminal; Ctrl-C cancels a wait\n"
                 "  run SCRIPT [--trace FILE]\n"
                 "                        the shell's commands from a file, with expect lines\n");
  }
  std::fprintf(out,
               "  scan --resource NAME [--range FIRST-LAST] [--trace FILE]\n"
               "                        the ECUs that answer: ISO 15765 request ids 0x7E0-0x7E7 and\n"
               "                        0x7DF; address-based resources (K-line) the --range given;\n"
               "                        prints each ECU's VIN and part number where it offers them\n"
               "  monitor --listen ID#DATA [--resource NAME] [--filter ID[:MASK]] [--count N]\n"
               "          [--duration TIME] [--log FILE] [--window TIME]\n"
               "                        raw CAN frames as candump -L lines (the module cannot listen\n"
               "                        without sending: ID#DATA opens each receive window)\n"
               "  doctor                why the VCI is (not) found: ports, MDF.xml, log folder (exit 5: no VCI)\n");
  if (os.decodeLog) {
    std::fprintf(out,
                 "  decode-log DIR|FILE [--follow] [--session N] [--since HH:MM[:SS]] [--link N] [--verbose]\n"
                 "          [--json | --json-lines]\n"
                 "                        the three log files as one readable transcript, split into\n"
                 "                        numbered sessions with a summary line each (--json: a document)\n");
  }
  std::fprintf(out,
               "exit codes: 0 ok; 1 an API call failed, a request got no response, or (run, shell)\n"
               "            an expectation failed; 2 usage or script error; 3 library not loadable or\n"
               "            not a D-PDU library (run, shell: any library failure); 4 a ComPrimitive\n"
               "            ended with an error or did not finish; 5 doctor: no VCI answered; 6 MDF.xml\n"
               "            cannot be loaded;\n"
               "            130 stopped by %s\n",
               os.stopped);
}

std::pair<std::string, std::string> NameValue(const std::string& text) {
  size_t eq = text.find('=');
  if (eq == std::string::npos || eq == 0) UsageError("expected NAME=VALUE, got " + text);
  return {text.substr(0, eq), text.substr(eq + 1)};
}

// ---- the commands ----

// An unknown resource is a usage error before the API is constructed,
// with the names the user may have meant (they are case-sensitive).
void CheckResourceName(const ModuleDescription& mdf, const std::string& name) {
  if (mdf.Resource(name) != nullptr || ParseUnsigned(name)) return;
  std::string names;
  for (const MdfResource& r : mdf.Resources()) names += "\n  " + r.name;
  UsageError("the module description has no resource " + name + " (names are case-sensitive); the resources are:" +
             names);
}

int CommandSession(Invocation& inv) {
  SessionOptions session;
  bool cyclesGiven = false;
  bool functional = false;
  std::string tx, rx;
  std::string mdfPath = inv.MdfPath();
  for (; inv.More(); ++inv.i) {
    const std::string a = inv.args[inv.i];
    if (a == "--resource") {
      session.resource = inv.Value(a);
    } else if (a == "--param") {
      session.params.push_back(NameValue(inv.Value(a)));
    } else if (a == "--resp-id") {
      session.unique.push_back({{"CP_CanRespUSDTId", inv.Value(a)}});
    } else if (a == "--unique") {
      std::stringstream in(inv.Value(a));
      std::string part;
      std::vector<std::pair<std::string, std::string>> entry;
      while (std::getline(in, part, ',')) entry.push_back(NameValue(part));
      session.unique.push_back(entry);
    } else if (a == "--tx") {
      tx = inv.Value(a);
    } else if (a == "--rx") {
      rx = inv.Value(a);
    } else if (a == "--functional") {
      functional = true;
    } else if (a == "--cycles") {
      auto v = ParseSigned(inv.Value(a));
      if (!v) UsageError("--cycles: not a number: " + inv.args[inv.i]);
      session.receiveCycles = *v;
      cyclesGiven = true;
    } else if (a == "--no-startcomm") {
      session.startComm = false;
    } else if (a == "--startcomm-data") {
      auto bytes = ParseHexBytes(inv.Value(a));
      if (!bytes) UsageError("--startcomm-data: not hex");
      session.startCommData = *bytes;
    } else if (a == "--mdf") {
      mdfPath = inv.Value(a);
    } else if (a == "--trace") {
      inv.options.traceFile = CandumpFileValue(inv, a);
    } else if (a.size() > 1 && a[0] == '-' && a[1] == '-') {
      UsageError("unknown session option " + a);
    } else {
      auto bytes = ParseHexBytes(a);
      if (!bytes) UsageError("request is not hex: " + a);
      session.requests.push_back(*bytes);
    }
  }
  if (session.resource.empty()) UsageError("session needs --resource");
  if (std::string why = AddCanIds(tx, rx, session.params, session.unique); !why.empty()) UsageError(why);
  if (functional) {
    session.params.insert(session.params.begin(), {"CP_RequestAddrMode", "2"});
    if (!cyclesGiven) session.receiveCycles = -1;
  }
  // Check the ComParams against the module description before anything is
  // sent; without a readable description the library is the judge.
  ModuleDescription mdf;
  if (LoadMdf(mdf, mdfPath)) {
    CheckResourceName(mdf, session.resource);
    const MdfResource* resource = mdf.Resource(session.resource);
    for (const auto& [name, value] : session.params) {
      if (std::string why = CheckParam(mdf, resource, name, value); !why.empty()) UsageError("--param: " + why);
    }
    session.raw = IsRawCan(resource);
    // The module ends an endless receive window only after 50 ms of quiet
    // (a cancel is only noted), so on a live bus the STOPCOMM behind it
    // would never run.
    if (session.raw && session.receiveCycles < 0) {
      UsageError("--cycles " + std::to_string(session.receiveCycles) +
                 " on a raw CAN resource never ends on a busy bus; use pdutool monitor --listen ID#DATA to watch it");
    }
  }
  return WithLibrary(inv, "session", [&](Client& c, nlohmann::json& doc) { return RunSession(c, doc, session); });
}

int CommandScan(Invocation& inv) {
  ScanOptions scan;
  std::string range;
  std::string mdfPath = inv.MdfPath();
  for (; inv.More(); ++inv.i) {
    const std::string a = inv.args[inv.i];
    if (a == "--resource") {
      scan.resource = inv.Value(a);
    } else if (a == "--range") {
      range = inv.Value(a);
    } else if (a == "--mdf") {
      mdfPath = inv.Value(a);
    } else if (a == "--trace") {
      inv.options.traceFile = CandumpFileValue(inv, a);
    } else {
      UsageError("unexpected argument " + a);
    }
  }
  if (scan.resource.empty()) UsageError("scan needs --resource");
  ModuleDescription mdf;
  if (LoadMdf(mdf, mdfPath)) {
    CheckResourceName(mdf, scan.resource);
    if (const MdfResource* r = mdf.Resource(scan.resource)) {
      bool can = false;
      for (const MdfComParam& p : r->params) can = can || p.name == "CP_CanPhysReqId";
      scan.can = can;
      if (IsRawCan(r)) {
        UsageError("scan asks ECUs diagnostic requests: give a diagnostic resource (e.g. "
                   "RSC_ISO_15765_3_on_ISO_15765_2_6_14), not the raw CAN resource " + scan.resource);
      }
    }
  }
  if (!range.empty()) {
    const size_t dash = range.find('-');
    auto a = dash == std::string::npos ? std::nullopt : ParseUnsigned(range.substr(0, dash));
    auto b = dash == std::string::npos ? std::nullopt : ParseUnsigned(range.substr(dash + 1));
    if (!a || !b || *a > *b || *b - *a > 255 || *b > 0x1FFFFFFF) {
      UsageError("--range FIRST-LAST, e.g. 0x7E0-0x7E7 or 0x01-0x20 (at most 256 values), got " + range);
    }
    scan.first = static_cast<uint32_t>(*a);
    scan.last = static_cast<uint32_t>(*b);
  } else if (!scan.can) {
    UsageError("scan on an address-based resource needs --range FIRST-LAST (target addresses, e.g. 0x01-0x20)");
  }
  scan.quietProgress = inv.options.json;
  return WithLibrary(inv, "scan", [&](Client& c, nlohmann::json& doc) { return RunScan(c, doc, scan); });
}

// "710#013E" (candump notation: up to three hex digits an 11-bit
// identifier, more a 29-bit one) -> the raw frame of the module.
std::vector<uint8_t> RawFrame(const std::string& text) {
  const size_t hash = text.find('#');
  uint32_t id = 0;
  std::vector<uint8_t> data;
  bool ok = hash != std::string::npos && hash > 0 && hash <= 8;
  if (ok) {
    auto parsed = ParseUnsigned("0x" + text.substr(0, hash));
    ok = parsed.has_value();
    id = parsed.value_or(0);
  }
  if (ok && hash + 1 < text.size()) {
    auto bytes = ParseHexBytes(text.substr(hash + 1));
    ok = bytes.has_value();
    if (ok) data = *bytes;
  }
  if (!ok || data.size() > 8 || id > 0x1FFFFFFF || (hash <= 3 && id > 0x7FF)) {
    UsageError("--listen ID#DATA, e.g. 710#013E or 18DA10F1#0102 (at most 8 data bytes), got " + text);
  }
  const uint32_t word = id | (hash > 3 ? 0x80000000u : 0);
  // The identifier word little-endian, then the data.
  std::vector<uint8_t> raw(4 + data.size());
  for (size_t i = 0; i < 4; ++i) raw[i] = static_cast<uint8_t>(word >> (8 * i));
  std::copy(data.begin(), data.end(), raw.begin() + 4);
  return raw;
}

int CommandMonitor(Invocation& inv) {
  MonitorOptions m;
  std::string mdfPath = inv.MdfPath();
  for (; inv.More(); ++inv.i) {
    const std::string a = inv.args[inv.i];
    if (a == "--resource") {
      m.resource = inv.Value(a);
    } else if (a == "--listen") {
      m.listen = RawFrame(inv.Value(a));
    } else if (a == "--filter") {
      // candump's ID:MASK; ID alone matches that identifier exactly.
      const std::string f = inv.Value(a);
      const size_t colon = f.find(':');
      auto id = ParseUnsigned("0x" + f.substr(0, colon));
      auto mask = colon == std::string::npos ? std::optional<uint32_t>(0x1FFFFFFF)
                                             : ParseUnsigned("0x" + f.substr(colon + 1));
      if (!id || !mask || *mask == 0) UsageError("--filter ID[:MASK] in hex, e.g. 7E8 or 700:F00, got " + f);
      m.filter = static_cast<uint32_t>(*id);
      m.mask = static_cast<uint32_t>(*mask);
    } else if (a == "--count") {
      auto n = ParseUnsigned(inv.Value(a));
      if (!n || *n == 0) UsageError("--count: a number above 0");
      m.count = *n;
    } else if (a == "--duration") {
      auto ms = ParseDurationMs(inv.Value(a));
      if (!ms || *ms == 0) UsageError("--duration: a duration (500ms, 10s)");
      m.durationMs = *ms;
    } else if (a == "--log") {
      m.logFile = CandumpFileValue(inv, a);
    } else if (a == "--window") {
      auto ms = ParseDurationMs(inv.Value(a));
      if (!ms || *ms == 0) UsageError("--window: a duration (250ms, 1s)");
      m.windowMs = *ms;
    } else if (a == "--param") {
      m.params.push_back(NameValue(inv.Value(a)));
    } else if (a == "--mdf") {
      mdfPath = inv.Value(a);
    } else {
      UsageError("unexpected argument " + a);
    }
  }
  ModuleDescription mdf;
  if (LoadMdf(mdf, mdfPath)) CheckResourceName(mdf, m.resource);
  if (m.listen.empty()) {
    UsageError("monitor cannot listen passively through this module: it receives only inside a ComPrimitive,\n"
               "and a SENDRECV always sends its request first. Say which frame it may send at the start of\n"
               "each receive window (again after every 50 ms of quiet): --listen ID#DATA, e.g. --listen 710#013E");
  }
  m.json = inv.options.json;
  return WithLibrary(inv, "monitor", [&](Client& c, nlohmann::json& doc) { return RunMonitor(c, doc, m); });
}

int CommandIoctl(Invocation& inv) {
  if (!inv.More()) UsageError("ioctl needs vbatt, ignition or a PDU_IOCTL_ name");
  std::string name = inv.args[inv.i++];
  if (inv.More()) UsageError("unexpected argument " + inv.args[inv.i]);
  return WithLibrary(inv, "ioctl", [&](Client& c, nlohmann::json& doc) { return RunIoctl(c, doc, name); });
}

int CommandInfo(Invocation& inv) {
  std::string mdfPath = inv.MdfPath();
  for (; inv.More(); ++inv.i) {
    if (inv.args[inv.i] == "--mdf") {
      mdfPath = inv.Value("--mdf");
    } else {
      UsageError("unexpected argument " + inv.args[inv.i]);
    }
  }
  return WithLibrary(inv, "info", [&](Client& c, nlohmann::json& doc) { return RunInfo(c, doc, mdfPath); });
}

int CommandParams(Invocation& inv) {
  std::string mdfPath = inv.MdfPath();
  std::string resource;
  for (; inv.More(); ++inv.i) {
    const std::string a = inv.args[inv.i];
    if (a == "--mdf") {
      mdfPath = inv.Value(a);
    } else if (a == "--resource") {
      resource = inv.Value(a);
    } else {
      UsageError("unexpected argument " + a);
    }
  }
  if (resource.empty()) UsageError("params needs --resource");
  return RunParams(mdfPath, resource, inv.options.json);
}

int CommandShell(Invocation& inv, bool script) {
  std::string file;
  for (; inv.More(); ++inv.i) {
    const std::string a = inv.args[inv.i];
    if (a == "--trace") {
      inv.options.traceFile = CandumpFileValue(inv, a);
    } else if (script && file.empty() && (a.empty() || a[0] != '-')) {
      file = a;
    } else {
      UsageError("unexpected argument " + a);
    }
  }
  if (script && file.empty()) UsageError("run needs a script file");
  if (inv.options.json) UsageError("the shell prints text only (no --json)");
  return WithLibrary(inv, script ? "run" : "shell", [&](Client& c, nlohmann::json&) {
    return RunShell(c, ShellInput{script ? file : "", inv.MdfPath()});
  });
}

int CommandDecodeLog(Invocation& inv) {
  std::string path;
  bool follow = false;
  DecodeFilter filter;
  filter.json = inv.options.json;
  for (; inv.More(); ++inv.i) {
    const std::string a = inv.args[inv.i];
    if (a == "--follow") {
      follow = true;
    } else if (a == "--json") {
      filter.json = true;
    } else if (a == "--json-lines") {
      filter.jsonLines = true;
    } else if (a == "--verbose") {
      filter.verbose = true;
    } else if (a == "--session" || a == "--link") {
      auto n = ParseUnsigned(inv.Value(a));
      if (!n || *n == 0 || *n > 1000000) UsageError(a + ": a number from 1");
      (a == "--session" ? filter.session : filter.link) = static_cast<int>(*n);
    } else if (a == "--since") {
      // HH:MM or HH:MM:SS, local time of the log's day.
      const std::string t = inv.Value(a);
      int h = -1, m = -1, sec = 0;
      char extra = 0;
      if (std::sscanf(t.c_str(), "%d:%d:%d%c", &h, &m, &sec, &extra) < 2 || extra != 0 || h < 0 ||
          h > 23 || m < 0 || m > 59 || sec < 0 || sec > 59) {
        UsageError("--since HH:MM[:SS], got " + t);
      }
      filter.sinceMs = ((h * 60L + m) * 60L + sec) * 1000L;
    } else if (path.empty() && (a.empty() || a[0] != '-')) {
      path = a;
    } else {
      UsageError("unexpected argument " + a);
    }
  }
  if (path.empty()) UsageError("decode-log needs a log folder or file");
  return RunDecodeLog(path, follow, filter);
}

// The command table: one line per command. A command in a file of its own
// declares its int(Invocation&) function in a header next to Cli.h and
// adds its line here (and its usage lines above).
struct CommandEntry {
  const char* name;
  int (*run)(Invocation&);
};
const CommandEntry kCommands[] = {
    {"session", CommandSession},
    {"ioctl", CommandIoctl},
    {"info", CommandInfo},
    {"params", CommandParams},
    {"shell", [](Invocation& inv) { return CommandShell(inv, false); }},
    {"run", [](Invocation& inv) { return CommandShell(inv, true); }},
    {"decode-log", CommandDecodeLog},
    {"scan", CommandScan},
    {"monitor", CommandMonitor},
    // No library needed: the doctor looks at ports and folders itself.
    {"doctor", [](Invocation& inv) { return RunDoctor(inv.options.json); }},
};

bool IsCommand(const std::string& name) {
  for (const CommandEntry& c : kCommands) {
    if (name == c.name) return true;
  }
  return false;
}

}  // namespace

int main(int argc, char** argv) {
  // Before the library is loaded, so that its threads inherit the blocked
  // signals (Signals.h).
  StartSignalWatcher();
  Invocation inv;
  RootChoice root;
  int i = 1;
  auto value = [&](const char* name) -> std::string {
    if (i + 1 >= argc) UsageError(std::string(name) + " needs a value");
    return argv[++i];
  };
  for (; i < argc && argv[i][0] == '-'; ++i) {
    std::string_view a = argv[i];
    if (a == "--lib") {
      inv.libPath = value("--lib");
    } else if (a == "--json") {
      inv.options.json = true;
    } else if (a == "--poll") {
      inv.options.poll = true;
    } else if (a == "--callback") {
      inv.options.poll = false;
    } else if (a == "--wait") {
      auto ms = ParseDurationMs(value("--wait"));
      if (!ms) UsageError("--wait: not a duration (2000, 2000ms or 2s): " + std::string(argv[i]));
      inv.options.waitMs = *ms;
    } else if (a == "--trace") {
      inv.options.traceFile = CandumpFileName("--trace", value("--trace"));
    } else if (a == "--time") {
      std::string t = value("--time");
      if (t != "abs" && t != "rel") UsageError("--time: abs or rel, got " + t);
      inv.options.timeAbs = t == "abs";
    } else if (ParseRootOption(argc, argv, i, root, IsCommand)) {
      continue;  // --root [NAME], --root-file FILE (RootFile.h)
    } else if (a == "--version") {
      std::printf("pdutool %s\n", PDUTOOL_VERSION);
      return kExitOk;
    } else if (a == "--help" || a == "-h") {
      Usage(stdout);
      return kExitOk;
    } else {
      UsageError("unknown option " + std::string(a));
    }
  }
  if (root.given && root.name.empty()) return RunRootList(root, inv.options.json, argc - i);
  if (i >= argc) UsageError("no command");
  if (root.given) {
    if (int rc = ApplyRootApi(root, inv.options.json, inv.libPath, inv.rootMdf); rc != kExitOk) return rc;
  }
  const std::string command = argv[i++];
  inv.args.assign(argv + i, argv + argc);
  // `pdutool session --help`: the usage, not a usage error (nor, for
  // ioctl and doctor, a run with "--help" taken as an argument).
  if (IsCommand(command)) {
    for (const std::string& a : inv.args) {
      if (a == "--help" || a == "-h") {
        Usage(stdout);
        return kExitOk;
      }
    }
  }
  for (const CommandEntry& c : kCommands) {
    if (command == c.name) return c.run(inv);
  }
  UsageError("unknown command " + command);
}
