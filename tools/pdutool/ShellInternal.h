// The shell's pieces shared by its files: Shell.cpp (the loop, the
// command table, links), ShellCommands.cpp (link, send, expect, ComParams,
// I/O controls), ShellKeys.cpp (key, key-from), ShellEdit.cpp (the
// terminal prompt and completion). POSIX only: the Windows build has the
// one-shot commands (tools/windows/ShellWin32.cpp).
#pragma once

#include <cstdint>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#ifdef PDUTOOL_LIBEDIT
#include <histedit.h>
#endif

#include <nlohmann/json.hpp>

#include "Client.h"
#include "ModuleDescription.h"
#include "Shell.h"

namespace pdutool::shell {

using nlohmann::json;

// What one command line ended with; the worst one decides a script's exit.
// kInterrupted: a signal ended what the command waited for (the program
// of key-from); a script stops with the signal's exit status.
enum class Outcome { kOk, kFailed, kUsage, kLibrary, kInterrupted, kQuit };

struct CommandHelp {
  const char* name;
  const char* args;
  const char* text;
};
extern const CommandHelp kHelp[];
extern const size_t kHelpCount;

std::vector<std::string> Tokens(const std::string& line);
std::string WithoutComment(const std::string& line);
// A ComParam's value as text.
std::string ParamText(const PDU_PARAM_ITEM* p);

struct Link {
  UNUM32 hCLL = 0;
  std::string resource;
  int32_t receiveCycles = 1;
  bool connected = false;
  bool started = false;
};

// ---- reading lines ----

class LineReader {
 public:
  virtual ~LineReader() = default;
  // False at the end of the input, on a stop request, or (at the prompt)
  // when the user leaves with Ctrl-D or Ctrl-C twice.
  virtual bool Next(std::string& line) = 0;
};

// Lines of a file descriptor; a stop request ends the input too.
class FdReader : public LineReader {
 public:
  explicit FdReader(int fd) : fd_(fd) {}
  ~FdReader() override;
  void Own() { owned_ = true; }
  bool Next(std::string& line) override;

 private:
  int fd_;
  bool owned_ = false;
  bool eof_ = false;
  std::string buf_;
};

class Shell;

#ifdef PDUTOOL_LIBEDIT
// The prompt: libedit for editing, history (kept in ~/.pdutool_history)
// and completion on Tab. Ctrl-C abandons the half-typed line; a second
// Ctrl-C within a second at an empty prompt, or Ctrl-D, leaves.
class EditReader : public LineReader {
 public:
  explicit EditReader(Shell* shell);
  ~EditReader() override;
  bool Next(std::string& line) override;

 private:
  static char* Prompt(EditLine*) { return const_cast<char*>("pdu> "); }
  static int GetChar(EditLine* el, wchar_t* c);
  static unsigned char Complete(EditLine* el, int);

  EditLine* el_ = nullptr;
  History* hist_ = nullptr;
  HistEvent ev_{};
  std::string histFile_;
  // Set by GetChar: Ctrl-C ended the line, and whether it was empty.
  bool interrupted_ = false;
  bool interruptedEmpty_ = false;
  long long lastEmptyInterruptMs_ = -10000;
};
#endif

// ---- the shell ----

class Shell {
 public:
  Shell(Client& client, const ShellInput& input, bool script)
      : c_(client), fn_(client.Fn()), script_(script), input_(input) {
    std::string error;
    mdf_.Load(input.mdfPath, error);  // optional: only checks and completion need it
  }

  int Run(LineReader& reader);
  std::vector<std::string> Complete(const std::string& before);

 private:
  // Takes the command's own --wait TIME off before running it.
  Outcome ExecuteLine(std::vector<std::string> t);
  Outcome Execute(const std::vector<std::string>& t);
  Outcome Usage(const std::string& text) {
    std::printf("error: %s\n", text.c_str());
    return Outcome::kUsage;
  }
  Outcome CallFailed() { return Outcome::kLibrary; }
  Link* Current(std::string& why);
  // Request bytes of tokens: hex, $[a:b] slices of the last answer, $key.
  bool Bytes(const std::vector<std::string>& t, size_t from, std::vector<uint8_t>& out, std::string& why,
             std::vector<bool>* wildcard = nullptr);
  // echo's text with $key and $[a:b] replaced by their bytes.
  std::string Expand(const std::vector<std::string>& t, size_t from);
  Outcome CmdLink(const std::vector<std::string>& t);
  Outcome CmdSend(const std::vector<std::string>& t);
  Outcome CmdExpect(const std::vector<std::string>& t);
  Outcome CmdSet(const std::vector<std::string>& t);
  Outcome CmdGet(const std::string& name);
  Outcome CmdParams();
  Outcome CmdIoctl(const std::string& what);
  Outcome CmdKey(const std::vector<std::string>& t);
  Outcome CmdKeyFrom(const std::vector<std::string>& t);
  Outcome Primitive(Link& link, T_PDU_COPT type, const std::vector<uint8_t>& data, bool cleanup = false);
  void CloseLink(size_t index);
  void CloseAll();

  Client& c_;
  const PduFunctions& fn_;
  bool script_;
  ShellInput input_;
  ModuleDescription mdf_;
  json doc_ = json::object();
  std::vector<Link> links_;
  size_t current_ = 0;  // index into links_; links_.size() when none
  std::map<std::string, std::vector<uint8_t>> vars_;  // $key
  friend class EditReader;
};

}  // namespace pdutool::shell
