// pdutool shell / pdutool run: one constructed API, links that stay open,
// commands typed at a prompt (line editing, history, completion) or read
// from a script. `help` in the shell and docs/pdutool.md list the commands.
#pragma once

#include <string>

#include "Client.h"

namespace pdutool {

struct ShellInput {
  std::string scriptFile;  // empty: stdin (a prompt when it is a terminal)
  std::string mdfPath;     // module description for completion and checks
};

// Exit status: 0 every command and expectation passed; 1 an expectation
// failed or a request got no answer; 2 a usage or script error; 3 a call
// of the library failed; 130 stopped by a signal. A script stops at its
// first failure; at the prompt the shell goes on and ends with 0.
int RunShell(Client& client, const ShellInput& input);

}  // namespace pdutool
