#include "Shell.h"

#ifdef _WIN32

#include <cstdio>

namespace pdutool {

// The shell reads the terminal and runs key programs with POSIX calls;
// the Windows build has the one-shot commands only.
int RunShell(Client&, const ShellInput&) {
  std::fprintf(stderr, "pdutool: shell and run are not available in the Windows build\n");
  return kExitUsage;
}

}  // namespace pdutool

#else

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <sstream>
#include <thread>
#include <vector>

#ifdef PDUTOOL_LIBEDIT
#include <histedit.h>
#endif

#include "Commands.h"
#include "ModuleDescription.h"
#include "Names.h"
#include "Numbers.h"
#include "Signals.h"

namespace pdutool {

using nlohmann::json;

namespace {

// What one command line ended with; the worst one decides a script's exit.
enum class Outcome { kOk, kFailed, kUsage, kLibrary, kQuit };

int ExitOf(Outcome o) {
  switch (o) {
    case Outcome::kFailed: return kExitCallFailed;
    case Outcome::kUsage: return kExitUsage;
    case Outcome::kLibrary: return kExitNoLibrary;
    default: return kExitOk;
  }
}

struct CommandHelp {
  const char* name;
  const char* args;
  const char* text;
};

const CommandHelp kHelp[] = {
    {"link", "RESOURCE [--resp-id ID]... [--tx ID --rx ID] [--param N=V]... [--functional]",
     "create a ComLogicalLink and make it the current one"},
    {"links", "", "list the links (* marks the current one)"},
    {"use", "N", "make link N the current one"},
    {"connect", "", "PDUConnect the current link"},
    {"start", "[HEX]", "STARTCOMM (with request bytes)"},
    {"send", "HEX|$[a:b]|$key ...", "SENDRECV; prints the answers"},
    {"expect", "HEX|.. ... [...]", "the last answer must be these bytes (.. any byte, a last ... any rest)"},
    {"set", "CP_NAME=VALUE", "PDUSetComParam (applied at connect, or by update)"},
    {"get", "CP_NAME", "PDUGetComParam"},
    {"params", "", "the current link's ComParams: value, default, type, class"},
    {"update", "", "UPDATEPARAM: the set ComParams take effect on a running link"},
    {"stop", "", "STOPCOMM"},
    {"disconnect", "", "PDUDisconnect"},
    {"close", "", "stop, disconnect and destroy the current link"},
    {"ioctl", "vbatt|ignition|PDU_IOCTL_NAME", "PDUIoCtl of the module"},
    {"key", "OP ARG [OP ARG]... [seed HEX|$[a:b]]",
     "$key from the seed ($[2:] of the last answer): OP xor8 add8 xor32 add32 rotl32"},
    {"key-from", "CMD [ARGS]...", "$key from what CMD ARGS SEEDHEX prints"},
    {"sleep", "TIME", "wait (500ms, 2s)"},
    {"echo", "TEXT", "print the text"},
    {"help", "", "this list"},
    {"quit", "", "close everything and leave (also exit, end of input)"},
};

std::vector<std::string> Tokens(const std::string& line) {
  std::vector<std::string> out;
  std::string cur;
  bool inToken = false;
  char quote = 0;
  for (char c : line) {
    if (quote != 0) {
      if (c == quote) {
        quote = 0;
      } else {
        cur += c;
      }
    } else if (c == '"' || c == '\'') {
      quote = c;
      inToken = true;
    } else if (c == ' ' || c == '\t' || c == '\r' || c == '\n') {
      if (inToken) out.push_back(cur);
      cur.clear();
      inToken = false;
    } else {
      cur += c;
      inToken = true;
    }
  }
  if (inToken) out.push_back(cur);
  return out;
}

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
  // False at the end of the input or on a stop request.
  virtual bool Next(std::string& line) = 0;
};

// Lines of a file descriptor; a stop request ends the input too.
class FdReader : public LineReader {
 public:
  explicit FdReader(int fd) : fd_(fd) {}
  ~FdReader() override {
    if (owned_) ::close(fd_);
  }
  void Own() { owned_ = true; }
  bool Next(std::string& line) override {
    for (;;) {
      size_t nl = buf_.find('\n');
      if (nl != std::string::npos) {
        line = buf_.substr(0, nl);
        buf_.erase(0, nl + 1);
        return true;
      }
      if (eof_ || StopRequested()) {
        if (buf_.empty() || StopRequested()) return false;
        line.swap(buf_);
        buf_.clear();
        return true;
      }
      pollfd fds[2] = {{fd_, POLLIN, 0}, {StopFd(), POLLIN, 0}};
      if (::poll(fds, StopFd() >= 0 ? 2 : 1, -1) < 0) continue;
      if (fds[1].revents != 0) continue;
      char chunk[4096];
      ssize_t n = ::read(fd_, chunk, sizeof chunk);
      if (n <= 0) {
        eof_ = true;
      } else {
        buf_.append(chunk, static_cast<size_t>(n));
      }
    }
  }

 private:
  int fd_;
  bool owned_ = false;
  bool eof_ = false;
  std::string buf_;
};

class Shell;

#ifdef PDUTOOL_LIBEDIT
// The prompt: libedit for editing, history (kept in ~/.pdutool_history)
// and completion on Tab.
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

int Shell::Run(LineReader& reader) {
  if (!c_.Open()) return kExitNoLibrary;
  current_ = 0;
  int rc = kExitOk;
  std::string line;
  unsigned lineNo = 0;
  while (!StopRequested() && reader.Next(line)) {
    ++lineNo;
    std::vector<std::string> t = Tokens(line);
    if (t.empty() || t[0][0] == '#') continue;
    if (script_) std::printf("> %s\n", line.c_str());
    std::fflush(stdout);
    Outcome o = Execute(t);
    std::fflush(stdout);
    if (o == Outcome::kQuit) break;
    if (o != Outcome::kOk && script_) {
      rc = ExitOf(o);
      std::printf("script stopped at line %u (exit status %d)\n", lineNo, rc);
      break;
    }
  }
  if (StopRequested()) {
    std::printf("stopping (signal): STOPCOMM, disconnect, destroy, destruct\n");
    rc = kExitStopped;
  }
  CloseAll();
  c_.Close();
  std::fflush(stdout);
  return rc;
}

Link* Shell::Current(std::string& why) {
  if (current_ >= links_.size()) {
    why = "no link: create one with link RESOURCE";
    return nullptr;
  }
  return &links_[current_];
}

bool Shell::Bytes(const std::vector<std::string>& t, size_t from, std::vector<uint8_t>& out, std::string& why,
                  std::vector<bool>* wildcard) {
  const std::vector<uint8_t>& last = c_.LastAnswer();
  for (size_t i = from; i < t.size(); ++i) {
    const std::string& s = t[i];
    if (s == ".." && wildcard != nullptr) {
      out.push_back(0);
      wildcard->push_back(true);
      continue;
    }
    std::vector<uint8_t> part;
    if (s.rfind("$[", 0) == 0 && s.back() == ']') {
      // $[a:b] like a Python slice of the last answer (negative from the
      // end); $[i] one byte.
      const std::string inner = s.substr(2, s.size() - 3);
      const long n = static_cast<long>(last.size());
      auto index = [&](const std::string& x, long dflt, long& v) {
        if (x.empty()) {
          v = dflt;
          return true;
        }
        auto p = ParseSigned(x);
        if (!p) return false;
        v = *p < 0 ? n + *p : *p;
        v = std::clamp(v, 0L, n);
        return true;
      };
      const size_t colon = inner.find(':');
      long a = 0;
      long b = n;
      bool ok = colon == std::string::npos ? index(inner, 0, a) && (b = a + 1, true)
                                           : index(inner.substr(0, colon), 0, a) && index(inner.substr(colon + 1), n, b);
      if (!ok) {
        why = "bad slice " + s;
        return false;
      }
      if (a >= b || b > n) {
        why = s + " is empty: the last answer has " + std::to_string(n) + " byte(s)";
        return false;
      }
      part.assign(last.begin() + a, last.begin() + b);
    } else if (s[0] == '$') {
      auto v = vars_.find(s.substr(1));
      if (v == vars_.end()) {
        why = "no value " + s + " (key or key-from sets $key)";
        return false;
      }
      part = v->second;
    } else {
      auto bytes = ParseHexBytes(s);
      if (!bytes) {
        why = "not hex: " + s;
        return false;
      }
      part = *bytes;
    }
    out.insert(out.end(), part.begin(), part.end());
    if (wildcard != nullptr) wildcard->insert(wildcard->end(), part.size(), false);
  }
  if (out.empty()) {
    why = "no bytes given";
    return false;
  }
  return true;
}

Outcome Shell::Primitive(Link& link, T_PDU_COPT type, const std::vector<uint8_t>& data, bool cleanup) {
  json prim = c_.RunPrimitive(link.hCLL, type, data, type == PDU_COPT_SENDRECV ? link.receiveCycles : 1, cleanup);
  const std::string status = prim["status"];
  if (status == "FINISHED") return Outcome::kOk;
  if (status == "NO_RESPONSE" || status == "ERROR" || status == "CANCELLED") {
    if (status == "ERROR" && !prim.contains("elapsed_ms")) return Outcome::kLibrary;  // the start call failed
    return Outcome::kFailed;
  }
  return Outcome::kLibrary;  // TIMEOUT: the library or the VCI stopped answering
}

Outcome Shell::Execute(const std::vector<std::string>& t) {
  const std::string& cmd = t[0];
  std::string why;
  auto noArgs = [&]() { return t.size() == 1; };
  if (cmd == "help" || cmd == "?") {
    for (const CommandHelp& h : kHelp) {
      std::printf("  %-10s %-40s %s\n", h.name, h.args, h.text);
    }
    return Outcome::kOk;
  }
  if (cmd == "quit" || cmd == "exit") return Outcome::kQuit;
  if (cmd == "echo") {
    std::string text;
    for (size_t i = 1; i < t.size(); ++i) text += (i > 1 ? " " : "") + t[i];
    std::printf("%s\n", text.c_str());
    return Outcome::kOk;
  }
  if (cmd == "sleep") {
    if (t.size() != 2) return Usage("sleep TIME");
    auto ms = ParseDurationMs(t[1]);
    if (!ms) return Usage("sleep: not a duration: " + t[1]);
    // Waits on the stop pipe so that Ctrl-C ends it.
    pollfd p{StopFd(), POLLIN, 0};
    ::poll(&p, StopFd() >= 0 ? 1 : 0, static_cast<int>(*ms));
    return Outcome::kOk;
  }
  if (cmd == "link") return CmdLink(t);
  if (cmd == "links") {
    if (links_.empty()) std::printf("no links\n");
    for (size_t i = 0; i < links_.size(); ++i) {
      const Link& l = links_[i];
      std::printf("%c %zu  hCLL %u  %s%s%s\n", i == current_ ? '*' : ' ', i + 1, l.hCLL, l.resource.c_str(),
                  l.connected ? "  connected" : "", l.started ? "  communicating" : "");
    }
    return Outcome::kOk;
  }
  if (cmd == "use") {
    auto n = t.size() == 2 ? ParseUnsigned(t[1]) : std::nullopt;
    if (!n || *n == 0 || *n > links_.size()) return Usage("use N, N from links");
    current_ = *n - 1;
    return Outcome::kOk;
  }
  if (cmd == "ioctl") {
    if (t.size() != 2) return Usage("ioctl vbatt|ignition|PDU_IOCTL_NAME");
    return CmdIoctl(t[1]);
  }
  if (cmd == "key") return CmdKey(t);
  if (cmd == "key-from") return CmdKeyFrom(t);
  if (cmd == "expect") return CmdExpect(t);

  // Everything below works on the current link.
  static const char* const kLinkCommands[] = {"connect", "start", "send", "set", "get", "params",
                                              "update", "stop", "disconnect", "close"};
  if (std::find_if(std::begin(kLinkCommands), std::end(kLinkCommands),
                   [&](const char* n) { return cmd == n; }) == std::end(kLinkCommands)) {
    return Usage("unknown command " + cmd + " (help lists them)");
  }
  Link* link = Current(why);
  if (link == nullptr) return Usage(why);
  if (cmd == "connect") {
    if (!noArgs()) return Usage("connect takes no arguments");
    if (!c_.Check("PDUConnect", Invoke(fn_.PDUConnect, c_.hMod(), link->hCLL))) return CallFailed();
    link->connected = true;
    c_.CollectLinkEvents(link->hCLL, 500);
    return Outcome::kOk;
  }
  if (cmd == "start") {
    std::vector<uint8_t> data;
    if (t.size() > 1 && !Bytes(t, 1, data, why)) return Usage(why);
    Outcome o = Primitive(*link, PDU_COPT_STARTCOMM, data);
    if (o == Outcome::kOk) link->started = true;
    return o;
  }
  if (cmd == "send") return CmdSend(t);
  if (cmd == "set") return CmdSet(t);
  if (cmd == "get") {
    if (t.size() != 2) return Usage("get CP_NAME");
    return CmdGet(t[1]);
  }
  if (cmd == "params") return CmdParams();
  if (cmd == "update") return Primitive(*link, PDU_COPT_UPDATEPARAM, {});
  if (cmd == "stop") {
    Outcome o = Primitive(*link, PDU_COPT_STOPCOMM, {});
    link->started = false;
    return o;
  }
  if (cmd == "disconnect") {
    link->started = false;
    link->connected = false;
    if (!c_.Check("PDUDisconnect", Invoke(fn_.PDUDisconnect, c_.hMod(), link->hCLL))) return CallFailed();
    c_.CollectLinkEvents(link->hCLL, 300);
    return Outcome::kOk;
  }
  // close
  CloseLink(current_);
  return Outcome::kOk;
}

Outcome Shell::CmdLink(const std::vector<std::string>& t) {
  if (t.size() < 2 || t[1][0] == '-') return Usage("link RESOURCE [--resp-id ID]... [--tx ID --rx ID] [--param N=V]...");
  Link link;
  link.resource = t[1];
  std::vector<std::pair<std::string, std::string>> params;
  std::vector<std::vector<std::pair<std::string, std::string>>> unique;
  std::string tx, rx;
  bool functional = false;
  for (size_t i = 2; i < t.size(); ++i) {
    const std::string& a = t[i];
    auto value = [&](std::string& out) {
      if (i + 1 >= t.size()) return false;
      out = t[++i];
      return true;
    };
    std::string v;
    if (a == "--resp-id" && value(v)) {
      if (!ParseUnsigned(v)) return Usage("--resp-id: not a number: " + v);
      unique.push_back({{"CP_CanRespUSDTId", v}});
    } else if (a == "--tx" && value(v)) {
      tx = v;
    } else if (a == "--rx" && value(v)) {
      rx = v;
    } else if (a == "--param" && value(v)) {
      size_t eq = v.find('=');
      if (eq == std::string::npos || eq == 0) return Usage("--param NAME=VALUE");
      params.emplace_back(v.substr(0, eq), v.substr(eq + 1));
    } else if (a == "--functional") {
      functional = true;
    } else {
      return Usage("link: unexpected " + a);
    }
  }
  if (std::string why = AddCanIds(tx, rx, params, unique); !why.empty()) return Usage(why);
  if (functional) {
    params.insert(params.begin(), {"CP_RequestAddrMode", "2"});
    link.receiveCycles = -1;
  }
  const MdfResource* resource = mdf_.Loaded() ? mdf_.Resource(link.resource) : nullptr;
  if (mdf_.Loaded() && resource == nullptr && !ParseUnsigned(link.resource)) {
    return Usage("the module description has no resource " + link.resource);
  }
  if (mdf_.Loaded()) {
    for (const auto& [name, value] : params) {
      if (std::string why = CheckParam(mdf_, resource, name, value); !why.empty()) return Usage(why);
    }
  }
  UNUM32 resourceId = 0;
  if (auto id = ParseUnsigned(link.resource)) {
    resourceId = *id;
  } else {
    resourceId = c_.ObjectId(PDU_OBJT_RESOURCE, link.resource);
    if (resourceId == PDU_ID_UNDEF) return Usage("the module knows no resource " + link.resource);
  }
  PDU_FLAG_DATA noFlags{0, nullptr};
  if (!c_.Check("PDUCreateComLogicalLink", Invoke(fn_.PDUCreateComLogicalLink, c_.hMod(), nullptr, resourceId,
                                                  nullptr, &link.hCLL, &noFlags))) {
    return CallFailed();
  }
  c_.RegisterCallback(link.hCLL, true);
  links_.push_back(link);
  current_ = links_.size() - 1;
  std::printf("link %zu: hCLL %u on %s (resource id %u)\n", links_.size(), link.hCLL, link.resource.c_str(),
              resourceId);
  int rc = SetupLink(c_, doc_, link.hCLL, unique, params);
  if (rc == kExitUsage) return Outcome::kUsage;
  return rc == kExitOk ? Outcome::kOk : Outcome::kLibrary;
}

Outcome Shell::CmdSend(const std::vector<std::string>& t) {
  std::string why;
  std::vector<uint8_t> req;
  if (!Bytes(t, 1, req, why)) return Usage(why);
  return Primitive(links_[current_], PDU_COPT_SENDRECV, req);
}

Outcome Shell::CmdExpect(const std::vector<std::string>& t) {
  std::string why;
  std::vector<uint8_t> want;
  std::vector<bool> any;
  // A last "..." stands for any number of further bytes.
  const bool prefix = t.size() > 2 && t.back() == "...";
  std::vector<std::string> patterns(t.begin(), prefix ? t.end() - 1 : t.end());
  if (!Bytes(patterns, 1, want, why, &any)) return Usage(why);
  const std::vector<uint8_t>& got = c_.LastAnswer();
  bool match = prefix ? got.size() >= want.size() : got.size() == want.size();
  for (size_t i = 0; match && i < want.size(); ++i) match = any[i] || got[i] == want[i];
  std::string wantText;
  for (size_t i = 0; i < want.size(); ++i) wantText += (i ? " " : "") + (any[i] ? std::string("..") : Hex(&want[i], 1));
  if (prefix) wantText += " ...";
  if (match) {
    std::printf("  expect %s: ok\n", wantText.c_str());
    return Outcome::kOk;
  }
  std::printf("  expect %s: FAILED, the answer was %s\n", wantText.c_str(),
              got.empty() ? "none" : Hex(got.data(), got.size()).c_str());
  return Outcome::kFailed;
}

Outcome Shell::CmdSet(const std::vector<std::string>& t) {
  std::string joined;
  for (size_t i = 1; i < t.size(); ++i) joined += (i > 1 ? " " : "") + t[i];
  size_t eq = joined.find('=');
  if (eq == std::string::npos || eq == 0) return Usage("set CP_NAME=VALUE");
  std::string name = joined.substr(0, eq);
  std::string value = joined.substr(eq + 1);
  while (!name.empty() && name.back() == ' ') name.pop_back();
  while (!value.empty() && value.front() == ' ') value.erase(0, 1);
  if (mdf_.Loaded()) {
    const MdfResource* resource = mdf_.Resource(links_[current_].resource);
    if (std::string why = CheckParam(mdf_, resource, name, value); !why.empty()) return Usage(why);
  }
  int rc = SetupLink(c_, doc_, links_[current_].hCLL, {}, {{name, value}});
  if (rc == kExitUsage) return Outcome::kUsage;
  return rc == kExitOk && !c_.Failed() ? Outcome::kOk : Outcome::kLibrary;
}

std::string ParamText(const PDU_PARAM_ITEM* p) {
  if (p == nullptr || p->pComParamData == nullptr) return "-";
  switch (p->ComParamDataType) {
    case PDU_PT_UNUM8: return std::to_string(*static_cast<const UNUM8*>(p->pComParamData));
    case PDU_PT_SNUM8: return std::to_string(*static_cast<const SNUM8*>(p->pComParamData));
    case PDU_PT_UNUM16: return std::to_string(*static_cast<const UNUM16*>(p->pComParamData));
    case PDU_PT_SNUM16: return std::to_string(*static_cast<const SNUM16*>(p->pComParamData));
    case PDU_PT_UNUM32: return std::to_string(*static_cast<const UNUM32*>(p->pComParamData));
    case PDU_PT_SNUM32: return std::to_string(*static_cast<const SNUM32*>(p->pComParamData));
    case PDU_PT_BYTEFIELD: {
      const auto* f = static_cast<const PDU_PARAM_BYTEFIELD_DATA*>(p->pComParamData);
      return "[" + Hex(f->pDataArray, f->pDataArray != nullptr ? f->ParamActLen : 0) + "]";
    }
    case PDU_PT_LONGFIELD: {
      const auto* f = static_cast<const PDU_PARAM_LONGFIELD_DATA*>(p->pComParamData);
      std::string s;
      for (UNUM32 i = 0; f->pDataArray != nullptr && i < f->ParamActLen; ++i) {
        s += (i ? "," : "") + std::to_string(f->pDataArray[i]);
      }
      return s;
    }
    default: return "(structure)";
  }
}

Outcome Shell::CmdGet(const std::string& name) {
  UNUM32 id = c_.ObjectId(PDU_OBJT_COMPARAM, name);
  if (id == PDU_ID_UNDEF) return Usage("unknown ComParam " + name);
  PDU_PARAM_ITEM* item = nullptr;
  if (!c_.Check("PDUGetComParam", Invoke(fn_.PDUGetComParam, c_.hMod(), links_[current_].hCLL, id, &item))) {
    return CallFailed();
  }
  std::printf("%s = %s\n", name.c_str(), ParamText(item).c_str());
  if (item != nullptr) Invoke(fn_.PDUDestroyItem, reinterpret_cast<PDU_ITEM*>(item));
  return Outcome::kOk;
}

Outcome Shell::CmdParams() {
  const MdfResource* resource = mdf_.Loaded() ? mdf_.Resource(links_[current_].resource) : nullptr;
  if (resource == nullptr) return Usage("the module description does not describe " + links_[current_].resource);
  std::printf("  %-32s %-16s %-10s %-14s %s\n", "name", "value", "type", "class", "default");
  for (const MdfComParam& p : resource->params) {
    std::string value = "?";
    PDU_PARAM_ITEM* item = nullptr;
    if (Invoke(fn_.PDUGetComParam, c_.hMod(), links_[current_].hCLL, p.id, &item) == PDU_STATUS_NOERROR) {
      value = ParamText(item);
      Invoke(fn_.PDUDestroyItem, reinterpret_cast<PDU_ITEM*>(item));
    }
    std::string type = p.type.rfind("PDU_PT_", 0) == 0 ? p.type.substr(7) : p.type;
    std::printf("  %-32s %-16s %-10s %-14s %s\n", p.name.c_str(), value.c_str(), type.c_str(), p.pclass.c_str(),
                p.defaultValue.c_str());
  }
  return Outcome::kOk;
}

Outcome Shell::CmdIoctl(const std::string& what) {
  std::string name = what;
  if (what == "vbatt") name = "PDU_IOCTL_READ_VBATT";
  if (what == "ignition") name = "PDU_IOCTL_READ_IGNITION_SENSE_STATE";
  UNUM32 id = c_.ObjectId(PDU_OBJT_IO_CTRL, name);
  if (id == PDU_ID_UNDEF) return Usage("the module has no I/O control " + name);
  PDU_DATA_ITEM* out = nullptr;
  T_PDU_ERROR status = Invoke(fn_.PDUIoCtl, c_.hMod(), PDU_HANDLE_UNDEF, id, nullptr, &out);
  Outcome o = Outcome::kOk;
  if (status != PDU_STATUS_NOERROR) {
    std::printf("%s: FAILED: %s\n", name.c_str(), StatusName(status).c_str());
    o = Outcome::kLibrary;
  } else if (out != nullptr && out->ItemType == PDU_IT_IO_UNUM32 && out->pData != nullptr) {
    UNUM32 value = *static_cast<UNUM32*>(out->pData);
    if (name == "PDU_IOCTL_READ_VBATT") {
      std::printf("battery voltage: %u mV (%.2f V)\n", value, value / 1000.0);
    } else if (name == "PDU_IOCTL_READ_IGNITION_SENSE_STATE") {
      std::printf("ignition: %s (%u)\n", value ? "on" : "off", value);
    } else {
      std::printf("%s: %u\n", name.c_str(), value);
    }
  } else {
    std::printf("%s: done\n", name.c_str());
  }
  if (out != nullptr) Invoke(fn_.PDUDestroyItem, reinterpret_cast<PDU_ITEM*>(out));
  return o;
}

// Seed bytes for key/key-from: `seed ...` tokens, else $[2:] of the last
// answer (67 01 followed by the seed).
bool SeedOf(const std::vector<uint8_t>& last, std::vector<uint8_t>& seed, std::string& why) {
  if (last.size() < 3) {
    why = "no seed: the last answer has no bytes after its first two";
    return false;
  }
  seed.assign(last.begin() + 2, last.end());
  return true;
}

Outcome Shell::CmdKey(const std::vector<std::string>& t) {
  std::string why;
  std::vector<uint8_t> key;
  size_t end = t.size();
  for (size_t i = 1; i < t.size(); ++i) {
    if (t[i] == "seed") end = i;
  }
  if (end < t.size()) {
    if (!Bytes(t, end + 1, key, why)) return Usage(why);
  } else if (!SeedOf(c_.LastAnswer(), key, why)) {
    return Usage(why);
  }
  if (end < 3 || (end - 1) % 2 != 0) return Usage("key OP ARG [OP ARG]... (OP: xor8 add8 xor32 add32 rotl32)");
  for (size_t i = 1; i + 1 < end; i += 2) {
    const std::string& op = t[i];
    auto arg = ParseUnsigned(t[i + 1]);
    if (!arg) return Usage("key: not a number: " + t[i + 1]);
    if (op == "xor8" || op == "add8") {
      for (uint8_t& b : key) b = op == "xor8" ? static_cast<uint8_t>(b ^ *arg) : static_cast<uint8_t>(b + *arg);
    } else if (op == "xor32" || op == "add32" || op == "rotl32") {
      if (key.size() % 4 != 0) return Usage("key: " + op + " needs a seed of 4, 8, ... bytes");
      for (size_t w = 0; w < key.size(); w += 4) {
        // The seed's words are big-endian, as ECUs send them.
        uint32_t v = static_cast<uint32_t>(key[w]) << 24 | static_cast<uint32_t>(key[w + 1]) << 16 |
                     static_cast<uint32_t>(key[w + 2]) << 8 | key[w + 3];
        if (op == "xor32") v ^= *arg;
        if (op == "add32") v += *arg;
        if (op == "rotl32") v = (*arg % 32) == 0 ? v : (v << (*arg % 32)) | (v >> (32 - *arg % 32));
        for (int k = 0; k < 4; ++k) key[w + k] = static_cast<uint8_t>(v >> (24 - 8 * k));
      }
    } else {
      return Usage("key: unknown operation " + op + " (xor8 add8 xor32 add32 rotl32)");
    }
  }
  vars_["key"] = key;
  std::printf("  $key = %s\n", Hex(key.data(), key.size()).c_str());
  return Outcome::kOk;
}

Outcome Shell::CmdKeyFrom(const std::vector<std::string>& t) {
  if (t.size() < 2) return Usage("key-from CMD [ARGS]...");
  std::string why;
  std::vector<uint8_t> seed;
  if (!SeedOf(c_.LastAnswer(), seed, why)) return Usage(why);
  std::string seedHex;
  for (uint8_t b : seed) {
    char buf[3];
    std::snprintf(buf, sizeof buf, "%02X", b);
    seedHex += buf;
  }
  std::vector<std::string> args(t.begin() + 1, t.end());
  args.push_back(seedHex);
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  int out[2];
  if (::pipe(out) != 0) return Usage("key-from: no pipe");
  std::fflush(stdout);
  pid_t pid = ::fork();
  if (pid == 0) {
    // The child gets the default signal handling back (the mask is
    // inherited and ours blocks SIGINT/SIGTERM).
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    // Its stdin is not ours: a script read from a pipe must not feed it.
    int nothing = ::open("/dev/null", O_RDONLY);
    if (nothing >= 0) ::dup2(nothing, 0);
    ::dup2(out[1], 1);
    ::close(out[0]);
    ::close(out[1]);
    ::execvp(argv[0], argv.data());
    std::fprintf(stderr, "pdutool: key-from: cannot run %s: %s\n", argv[0], std::strerror(errno));
    ::_exit(127);
  }
  ::close(out[1]);
  if (pid < 0) {
    ::close(out[0]);
    return Usage("key-from: cannot start " + args[0]);
  }
  std::string printed;
  char chunk[256];
  ssize_t n;
  while ((n = ::read(out[0], chunk, sizeof chunk)) > 0) printed.append(chunk, static_cast<size_t>(n));
  ::close(out[0]);
  int status = 0;
  ::waitpid(pid, &status, 0);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    return Usage("key-from: " + args[0] + " failed (exit status " +
                 std::to_string(WIFEXITED(status) ? WEXITSTATUS(status) : -1) + ")");
  }
  while (!printed.empty() && (printed.back() == '\n' || printed.back() == '\r' || printed.back() == ' ')) {
    printed.pop_back();
  }
  auto key = ParseHexBytes(printed);
  if (!key) return Usage("key-from: " + args[0] + " printed no hex key: \"" + printed + "\"");
  vars_["key"] = *key;
  std::printf("  $key = %s (from %s %s)\n", Hex(key->data(), key->size()).c_str(), args[0].c_str(), seedHex.c_str());
  return Outcome::kOk;
}

void Shell::CloseLink(size_t index) {
  Link& link = links_[index];
  if (link.started) Primitive(link, PDU_COPT_STOPCOMM, {}, true);
  if (link.connected) {
    c_.Check("PDUDisconnect", Invoke(fn_.PDUDisconnect, c_.hMod(), link.hCLL));
    c_.CollectLinkEvents(link.hCLL, 300);
  }
  c_.RegisterCallback(link.hCLL, false);
  c_.Check("PDUDestroyComLogicalLink", Invoke(fn_.PDUDestroyComLogicalLink, c_.hMod(), link.hCLL));
  std::printf("link %zu closed\n", index + 1);
  links_.erase(links_.begin() + static_cast<long>(index));
  current_ = links_.empty() ? 0 : links_.size() - 1;
}

void Shell::CloseAll() {
  while (!links_.empty()) CloseLink(links_.size() - 1);
}

std::vector<std::string> Shell::Complete(const std::string& before) {
  // before: the line up to the cursor. The word being typed is its tail.
  size_t start = before.find_last_of(' ');
  start = start == std::string::npos ? 0 : start + 1;
  const std::string word = before.substr(start);
  std::vector<std::string> words = Tokens(before.substr(0, start));
  std::vector<std::string> pool;
  if (words.empty()) {
    for (const CommandHelp& h : kHelp) pool.push_back(h.name);
  } else if (words[0] == "link" && words.size() == 1) {
    for (const MdfResource& r : mdf_.Resources()) pool.push_back(r.name);
  } else if ((words[0] == "set" || words[0] == "get") && words.size() == 1) {
    const MdfResource* r = current_ < links_.size() ? mdf_.Resource(links_[current_].resource) : nullptr;
    if (r != nullptr) {
      for (const MdfComParam& p : r->params) pool.push_back(p.name + (words[0] == "set" ? "=" : ""));
    } else {
      for (const MdfComParam& p : mdf_.ComParams()) pool.push_back(p.name + (words[0] == "set" ? "=" : ""));
    }
  } else if (words[0] == "link" && words.back() == "--param") {
    const MdfResource* r = mdf_.Resource(words.size() > 1 ? words[1] : "");
    if (r != nullptr) {
      for (const MdfComParam& p : r->params) pool.push_back(p.name + "=");
    }
  } else if (words[0] == "ioctl" && words.size() == 1) {
    pool = {"vbatt", "ignition"};
  }
  std::vector<std::string> out;
  for (const std::string& p : pool) {
    if (p.compare(0, word.size(), word) == 0) out.push_back(p);
  }
  return out;
}

#ifdef PDUTOOL_LIBEDIT

EditReader::EditReader(Shell* shell) {
  el_ = el_init("pdutool", stdin, stdout, stderr);
  hist_ = history_init();
  history(hist_, &ev_, H_SETSIZE, 1000);
  history(hist_, &ev_, H_SETUNIQUE, 1);
  if (const char* home = std::getenv("HOME")) {
    histFile_ = std::string(home) + "/.pdutool_history";
    history(hist_, &ev_, H_LOAD, histFile_.c_str());
  }
  el_set(el_, EL_EDITOR, "emacs");
  el_set(el_, EL_PROMPT, &EditReader::Prompt);
  el_set(el_, EL_HIST, history, hist_);
  el_set(el_, EL_CLIENTDATA, shell);
  el_set(el_, EL_GETCFN, &EditReader::GetChar);
  // The wide forms: libedit keeps these pointers as they are, where the
  // narrow EL_ADDFN copies the names and never frees the copies.
  el_wset(el_, EL_ADDFN, L"pdutool-complete", L"complete a command, resource or ComParam name",
          &EditReader::Complete);
  el_wset(el_, EL_BIND, L"^I", L"pdutool-complete", nullptr);
  el_source(el_, nullptr);  // ~/.editrc
}

EditReader::~EditReader() {
  if (!histFile_.empty()) history(hist_, &ev_, H_SAVE, histFile_.c_str());
  history_end(hist_);
  el_end(el_);
}

int EditReader::GetChar(EditLine*, wchar_t* c) {
  // One byte of the terminal, or the end of input when a stop was
  // requested (the signal watcher writes to the stop pipe).
  for (;;) {
    pollfd fds[2] = {{0, POLLIN, 0}, {StopFd(), POLLIN, 0}};
    if (::poll(fds, StopFd() >= 0 ? 2 : 1, -1) < 0) continue;
    if (StopRequested()) return 0;
    unsigned char b = 0;
    ssize_t n = ::read(0, &b, 1);
    if (n == 1) {
      *c = static_cast<wchar_t>(b);
      return 1;
    }
    if (n == 0) return 0;
    if (errno != EINTR && errno != EAGAIN) return -1;
  }
}

unsigned char EditReader::Complete(EditLine* el, int) {
  Shell* shell = nullptr;
  el_get(el, EL_CLIENTDATA, &shell);
  const LineInfo* li = el_line(el);
  const std::string before(li->buffer, li->cursor);
  size_t start = before.find_last_of(' ');
  const size_t typed = before.size() - (start == std::string::npos ? 0 : start + 1);
  std::vector<std::string> matches = shell->Complete(before);
  if (matches.empty()) return CC_REFRESH_BEEP;
  // The longest common prefix of the matches.
  std::string common = matches[0];
  for (const std::string& m : matches) {
    size_t k = 0;
    while (k < common.size() && k < m.size() && common[k] == m[k]) ++k;
    common.resize(k);
  }
  if (common.size() > typed) {
    std::string add = common.substr(typed);
    if (matches.size() == 1 && add.back() != '=') add += ' ';
    el_insertstr(el, add.c_str());
    return CC_REFRESH;
  }
  if (matches.size() == 1) return CC_REFRESH;
  std::printf("\n");
  for (const std::string& m : matches) std::printf("  %s\n", m.c_str());
  return CC_REDISPLAY;
}

bool EditReader::Next(std::string& line) {
  int count = 0;
  const char* text = el_gets(el_, &count);
  if (text == nullptr || count <= 0 || StopRequested()) {
    std::printf("\n");
    return false;
  }
  line.assign(text, static_cast<size_t>(count));
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
  if (!line.empty()) history(hist_, &ev_, H_ENTER, line.c_str());
  return true;
}

#endif

}  // namespace

int RunShell(Client& client, const ShellInput& input) {
  if (!input.scriptFile.empty()) {
    int fd = ::open(input.scriptFile.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
      std::fprintf(stderr, "pdutool: cannot read %s: %s\n", input.scriptFile.c_str(), std::strerror(errno));
      return kExitUsage;
    }
    FdReader reader(fd);
    reader.Own();
    Shell shell(client, input, true);
    return shell.Run(reader);
  }
  const bool terminal = ::isatty(0) != 0;
  Shell shell(client, input, !terminal);
#ifdef PDUTOOL_LIBEDIT
  if (terminal) {
    std::printf("pdutool shell: help lists the commands, Tab completes, quit leaves\n");
    EditReader reader(&shell);
    return shell.Run(reader);
  }
#endif
  FdReader reader(0);
  return shell.Run(reader);
}

}  // namespace pdutool

#endif  // _WIN32
