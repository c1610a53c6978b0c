// pdutool: a command-line D-PDU API client.
//
//   pdutool [--lib PATH] [--json] [--poll] [--wait MS] info [--mdf FILE]
//   pdutool [...] session --resource NAME|ID [--param NAME=VALUE]...
//                         [--resp-id ID]... [--unique NAME=VALUE[,NAME=VALUE]]...
//                         [--functional] [--cycles N] [--no-startcomm]
//                         [--startcomm-data HEX] REQUEST...
//   pdutool [...] ioctl vbatt|ignition|PDU_IOCTL_NAME
//   pdutool [--json] [--root-file FILE] --root        list the installed APIs
//   pdutool [...] --root NAME COMMAND ...             use the API of that entry
//
// The library is loaded with dlopen (default: ../lib/libpdu7318.so next to
// this program, else the installed libpdu7318.so.1; with --root NAME the
// root description file's entry), so any ISO 22900-2 library can be driven. docs/pdutool.md
// describes the options, the exit codes and the --json output.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <string>
#include <string_view>

#include "Client.h"
#include "Commands.h"
#include "Doctor.h"
#include "PduLibrary.h"
#include "RootFile.h"

namespace {

using namespace pdutool;

void Usage(FILE* out) {
  std::fprintf(out,
               "usage: pdutool [global options] COMMAND [options]\n"
               "global options:\n"
               "  --lib PATH        D-PDU library to load (default: ../lib/libpdu7318.so beside pdutool)\n"
               "  --json            print one JSON document instead of text (docs/pdutool.md)\n"
               "  --poll            poll for events instead of waiting for the callback\n"
               "  --wait MS         longest wait for one ComPrimitive (default 20000)\n"
               "  --root [NAME]     without NAME: list the APIs of the root description file;\n"
               "                    with NAME: load the library of that entry\n"
               "  --root-file FILE  root description file (default /etc/pdu_api_root.xml)\n"
               "commands:\n"
               "  info [--mdf FILE]     module ids, version, status, objects by type\n"
               "                        (resources from FILE, default $PDU7318_HOME/MDF.xml)\n"
               "  session --resource NAME|ID [options] REQUEST...\n"
               "      --param NAME=VALUE    set a ComParam before connecting (repeatable)\n"
               "      --resp-id ID          unique response entry CP_CanRespUSDTId=ID (repeatable)\n"
               "      --unique N=V[,N=V]    unique response entry with these ComParams (repeatable)\n"
               "      --functional          functional addressing (CP_RequestAddrMode=2), several answers\n"
               "      --cycles N            NumReceiveCycles of each request (default 1, -1 functional)\n"
               "      --no-startcomm        no STARTCOMM/STOPCOMM around the requests\n"
               "      --startcomm-data HEX  request bytes of the STARTCOMM\n"
               "      REQUEST               hex bytes, e.g. 22F190 or \"22 F1 90\"\n"
               "  ioctl vbatt|ignition|PDU_IOCTL_NAME\n"
               "  doctor                why the VCI is (not) found: ports, MDF.xml, log folder (exit 5: no VCI)\n"
               "exit codes: 0 ok, 1 an API call failed, 2 usage, 3 library not loadable,\n"
               "            4 a ComPrimitive ended with an error or did not finish\n");
}

[[noreturn]] void UsageError(const std::string& what) {
  std::fprintf(stderr, "pdutool: %s\n", what.c_str());
  Usage(stderr);
  std::exit(kExitUsage);
}

std::pair<std::string, std::string> NameValue(const std::string& text) {
  size_t eq = text.find('=');
  if (eq == std::string::npos || eq == 0) UsageError("expected NAME=VALUE, got " + text);
  return {text.substr(0, eq), text.substr(eq + 1)};
}

}  // namespace

int main(int argc, char** argv) {
  ClientOptions options;
  std::string libPath;
  RootChoice root;
  int i = 1;
  auto value = [&](const char* name) -> std::string {
    if (i + 1 >= argc) UsageError(std::string(name) + " needs a value");
    return argv[++i];
  };
  for (; i < argc && argv[i][0] == '-'; ++i) {
    std::string_view a = argv[i];
    if (a == "--lib") {
      libPath = value("--lib");
    } else if (a == "--json") {
      options.json = true;
    } else if (a == "--poll") {
      options.poll = true;
    } else if (a == "--callback") {
      options.poll = false;
    } else if (a == "--wait") {
      options.waitMs = static_cast<uint32_t>(std::strtoul(value("--wait").c_str(), nullptr, 0));
    } else if (ParseRootOption(argc, argv, i, root)) {
      continue;  // --root [NAME], --root-file FILE (RootFile.h)
    } else if (a == "--help" || a == "-h") {
      Usage(stdout);
      return kExitOk;
    } else {
      UsageError("unknown option " + std::string(a));
    }
  }
  if (root.given && root.name.empty()) return RunRootList(root, options.json, argc - i);
  if (i >= argc) UsageError("no command");
  std::string rootMdf;
  if (root.given) {
    if (int rc = ApplyRootApi(root, options.json, libPath, rootMdf); rc != kExitOk) return rc;
  }
  const std::string command = argv[i++];
  if (command == "doctor") return RunDoctor(options.json);  // no library needed (Doctor.h)

  // Parse the command's arguments before loading anything.
  SessionOptions session;
  std::string ioctlName;
  std::string mdfPath;
  bool cyclesGiven = false;
  bool functional = false;
  if (command == "session") {
    for (; i < argc; ++i) {
      std::string_view a = argv[i];
      if (a == "--resource") {
        session.resource = value("--resource");
      } else if (a == "--param") {
        session.params.push_back(NameValue(value("--param")));
      } else if (a == "--resp-id") {
        session.unique.push_back({{"CP_CanRespUSDTId", value("--resp-id")}});
      } else if (a == "--unique") {
        std::stringstream in(value("--unique"));
        std::string part;
        std::vector<std::pair<std::string, std::string>> entry;
        while (std::getline(in, part, ',')) entry.push_back(NameValue(part));
        session.unique.push_back(entry);
      } else if (a == "--functional") {
        functional = true;
      } else if (a == "--cycles") {
        session.receiveCycles = static_cast<int32_t>(std::strtol(value("--cycles").c_str(), nullptr, 0));
        cyclesGiven = true;
      } else if (a == "--no-startcomm") {
        session.startComm = false;
      } else if (a == "--startcomm-data") {
        auto bytes = ParseHexBytes(value("--startcomm-data"));
        if (!bytes) UsageError("--startcomm-data: not hex");
        session.startCommData = *bytes;
      } else if (a.size() > 1 && a[0] == '-' && a[1] == '-') {
        UsageError("unknown session option " + std::string(a));
      } else {
        auto bytes = ParseHexBytes(argv[i]);
        if (!bytes) UsageError("request is not hex: " + std::string(a));
        session.requests.push_back(*bytes);
      }
    }
    if (session.resource.empty()) UsageError("session needs --resource");
    if (functional) {
      session.params.insert(session.params.begin(), {"CP_RequestAddrMode", "2"});
      if (!cyclesGiven) session.receiveCycles = -1;
    }
  } else if (command == "ioctl") {
    if (i >= argc) UsageError("ioctl needs vbatt, ignition or a PDU_IOCTL_ name");
    ioctlName = argv[i++];
    if (i < argc) UsageError("unexpected argument " + std::string(argv[i]));
  } else if (command == "info") {
    const char* home = std::getenv("PDU7318_HOME");
    mdfPath = std::string(home ? home : "/etc/brenlo/7318") + "/MDF.xml";
    if (!rootMdf.empty()) mdfPath = rootMdf;
    for (; i < argc; ++i) {
      if (std::string_view(argv[i]) == "--mdf") {
        mdfPath = value("--mdf");
      } else {
        UsageError("unexpected argument " + std::string(argv[i]));
      }
    }
  } else {
    UsageError("unknown command " + command);
  }

  nlohmann::json doc = nlohmann::json::object();
  if (libPath.empty()) libPath = DefaultLibraryPath();
  doc["library"] = libPath;
  PduLibrary lib;
  std::string error;
  if (!lib.Load(libPath, error)) {
    std::fprintf(stderr, "pdutool: cannot load %s: %s\n", libPath.c_str(), error.c_str());
    if (options.json) {
      doc["command"] = command;
      doc["ok"] = false;
      doc["error"] = "cannot load library: " + error;
      std::printf("%s\n", doc.dump(2).c_str());
    }
    return kExitNoLibrary;
  }
  for (const std::string& m : lib.Missing()) {
    std::fprintf(stderr, "pdutool: the library has no %s\n", m.c_str());
  }

  Client client(lib, options, doc);
  client.Say("pdutool: %s", libPath.c_str());
  int rc = kExitOk;
  if (command == "session") {
    rc = RunSession(client, doc, session);
  } else if (command == "ioctl") {
    rc = RunIoctl(client, doc, ioctlName);
  } else {
    rc = RunInfo(client, doc, mdfPath);
  }
  if (options.json) {
    std::printf("%s\n", doc.dump(2).c_str());
  } else if (rc != kExitOk) {
    std::printf("FAILED: %s\n", doc["error"].is_string() ? doc["error"].get<std::string>().c_str() : "see above");
  }
  std::fflush(stdout);
  return rc;
}
