#include "Cli.h"

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>

#include "Doctor.h"
#include "PduLibrary.h"

namespace pdutool {

std::string Invocation::Value(const std::string& option) {
  if (i + 1 >= args.size()) UsageError(option + " needs a value");
  return args[++i];
}

std::string CandumpFileValue(Invocation& inv, const std::string& option) {
  return CandumpFileName(option, inv.Value(option));
}

std::string CandumpFileName(const std::string& option, const std::string& path) {
  // python-can's can.LogReader and can.Logger choose the format by the
  // name's ending: a candump log named x.asc is parsed as Vector ASC and
  // read as nothing. Other endings (.txt, none) are left to the user;
  // can-utils' canplayer reads any name.
  const size_t slash = path.find_last_of("/\\");
  const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  const size_t dot = name.rfind('.');
  if (dot == std::string::npos || dot == 0) return path;
  std::string ending = name.substr(dot);
  for (char& c : ending) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  static const char* const kOtherFormats[] = {".asc", ".blf", ".csv", ".db", ".mf4", ".trc", ".gz"};
  for (const char* other : kOtherFormats) {
    if (ending == other) {
      UsageError(option + " " + path + ": pdutool writes candump log format, and python-can's can.LogReader " +
                 "reads a " + ending + " file as another one; name it " + name.substr(0, dot) + ".log");
    }
  }
  return path;
}

[[noreturn]] void UsageError(const std::string& what) {
  std::fprintf(stderr, "pdutool: %s\n", what.c_str());
  std::fprintf(stderr, "pdutool --help lists the commands and options\n");
  std::exit(kExitUsage);
}

bool LoadMdf(ModuleDescription& mdf, const std::string& path) {
  std::string error;
  if (mdf.Load(path, error)) return true;
  if (!std::ifstream(path)) return false;  // missing: the library is the judge
  std::fprintf(stderr, "pdutool: MDF.xml cannot be loaded: %s\n"
               "pdutool: the library then knows no resource; pdutool doctor checks the installation\n",
               error.c_str());
  std::exit(kExitBadMdf);
}

int WithLibrary(Invocation& inv, const std::string& command,
                const std::function<int(Client&, nlohmann::json&)>& body) {
  // A trace file that cannot be written stops the command before anything
  // runs: shell and run would otherwise go on without it and end with 0.
  if (!inv.options.traceFile.empty()) {
    FILE* trace = std::fopen(inv.options.traceFile.c_str(), "a");
    if (trace == nullptr) UsageError("--trace: cannot write " + inv.options.traceFile + ": " + std::strerror(errno));
    std::fclose(trace);
  }
  nlohmann::json doc = nlohmann::json::object();
  if (inv.libPath.empty()) inv.libPath = DefaultLibraryPath();
  doc["command"] = command;
  doc["library"] = inv.libPath;
  PduLibrary lib;
  std::string error;
  bool loaded = lib.Load(inv.libPath, error);
  if (loaded && lib.Fn().PDUConstruct == nullptr) {
    loaded = false;
    error = "not a D-PDU API library (" + std::to_string(lib.Missing().size()) + " of the 29 functions missing, " +
            "PDUConstruct among them)";
  }
  if (!loaded) {
    std::fprintf(stderr, "pdutool: cannot use %s: %s\n", inv.libPath.c_str(), error.c_str());
    if (inv.options.json) {
      doc["ok"] = false;
      doc["error"] = "cannot use the library: " + error;
      std::printf("%s\n", doc.dump(2, ' ', false, nlohmann::json::error_handler_t::replace).c_str());
    }
    return kExitNoLibrary;
  }
  if (!lib.Missing().empty()) {
    std::string list;
    for (const std::string& m : lib.Missing()) list += (list.empty() ? "" : ", ") + m;
    std::fprintf(stderr, "pdutool: the library lacks %zu function(s): %s\n", lib.Missing().size(), list.c_str());
  }
  Client client(lib, inv.options, doc);
  // On stderr: stdout is the command's output, and pipes take it as is.
  if (!inv.options.json) std::fprintf(stderr, "pdutool: %s\n", inv.libPath.c_str());
  int rc = body(client, doc);
  if (inv.options.json) {
    std::printf("%s\n", doc.dump(2, ' ', false, nlohmann::json::error_handler_t::replace).c_str());
  } else if (rc != kExitOk && doc.contains("error")) {
    std::printf("FAILED: %s\n",
                doc["error"].is_string() ? doc["error"].get<std::string>().c_str() : "see above");
  }
  std::fflush(stdout);
  return rc;
}


}  // namespace pdutool
