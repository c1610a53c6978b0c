// What a pdutool command gets and the helpers every command uses. A new
// command is a function int(Invocation&) and one line in main.cpp's
// command table.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "Client.h"
#include "ModuleDescription.h"

namespace pdutool {

// What every command gets: the global options and its own arguments.
struct Invocation {
  ClientOptions options;
  std::string libPath;
  std::string rootMdf;  // the root entry's module description, when --root NAME
  std::vector<std::string> args;
  size_t i = 0;  // next argument

  bool More() const { return i < args.size(); }
  // The value after the option at args[i] (i moves onto it); a usage
  // error when there is none.
  std::string Value(const std::string& option);
  std::string MdfPath() const { return rootMdf.empty() ? DefaultMdfPath() : rootMdf; }
};

// The value of an option that names a candump log file (--trace, monitor's
// --log); a usage error for a name that says another format.
std::string CandumpFileValue(Invocation& inv, const std::string& option);
// The same check of a value already taken (the global options).
std::string CandumpFileName(const std::string& option, const std::string& path);

// Prints "pdutool: what" and the hint to --help on stderr, exits with 2.
[[noreturn]] void UsageError(const std::string& what);

// Loads the module description for the checks before the library runs.
// False when the file is missing; a file that exists but cannot be parsed
// ends pdutool with its parser's message (exit kExitBadMdf, Doctor.h).
bool LoadMdf(ModuleDescription& mdf, const std::string& path);

// Loads the library, runs body with a client and prints the result (the
// JSON document, or FAILED: ... after the text). A file that is no D-PDU
// library at all is one line and exit status 3. Returns the exit status.
int WithLibrary(Invocation& inv, const std::string& command,
                const std::function<int(Client&, nlohmann::json&)>& body);

}  // namespace pdutool
