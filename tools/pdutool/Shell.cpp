// pdutool shell / pdutool run: the command loop, the command table, the
// links and their cleanup.
#include "Shell.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "Commands.h"
#include "Names.h"
#include "Numbers.h"
#include "ShellInternal.h"
#include "Signals.h"

namespace pdutool::shell {

namespace {

int ExitOf(Outcome o) {
  switch (o) {
    case Outcome::kFailed: return kExitCallFailed;
    case Outcome::kUsage: return kExitUsage;
    case Outcome::kLibrary: return kExitNoLibrary;
    case Outcome::kInterrupted: return kExitStopped;
    default: return kExitOk;
  }
}

}  // namespace

const CommandHelp kHelp[] = {
    {"link", "RESOURCE [--resp-id ID]... [--tx ID --rx ID] [--param N=V]... [--functional]",
     "create a ComLogicalLink and make it the current one"},
    {"links", "", "list the links (* marks the current one)"},
    {"use", "N", "make link N the current one"},
    {"connect", "", "PDUConnect the current link"},
    {"start", "[HEX]", "STARTCOMM (with request bytes)"},
    {"send", "HEX|$[a:b]|$key ...", "SENDRECV; prints the answers (Ctrl-C cancels the wait)"},
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
    {"echo", "TEXT", "print the text ($key and $[a:b] become their bytes)"},
    {"help", "", "this list"},
    {"quit", "", "close everything and leave (also exit, Ctrl-D, Ctrl-C twice at an empty prompt)"},
    {"--wait", "TIME", "after any command: its longest wait for a ComPrimitive (2s, 500ms)"},
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

// The line up to its trailing comment: a word that starts with an
// unquoted # ends the command (`send 22 F1 90  # VIN`). echo prints its
// text as typed, # included, so its line is kept whole.
std::string WithoutComment(const std::string& line) {
  const std::vector<std::string> first = Tokens(line);
  if (!first.empty() && first[0] == "echo") return line;
  char quote = 0;
  for (size_t i = 0; i < line.size(); ++i) {
    const char c = line[i];
    if (quote != 0) {
      if (c == quote) quote = 0;
    } else if (c == '"' || c == '\'') {
      quote = c;
    } else if (c == '#' && (i == 0 || line[i - 1] == ' ' || line[i - 1] == '\t')) {
      return line.substr(0, i);
    }
  }
  return line;
}

const size_t kHelpCount = sizeof kHelp / sizeof kHelp[0];

FdReader::~FdReader() {
  if (owned_) ::close(fd_);
}

bool FdReader::Next(std::string& line) {
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

int Shell::Run(LineReader& reader) {
  if (!c_.Open()) return kExitNoLibrary;
  current_ = 0;
  int rc = kExitOk;
  std::string line;
  unsigned lineNo = 0;
  while (!StopRequested() && reader.Next(line)) {
    ++lineNo;
    std::vector<std::string> t = Tokens(WithoutComment(line));
    if (t.empty()) continue;
    if (script_) std::printf("> %s\n", line.c_str());
    std::fflush(stdout);
    // What cancelled requests delivered meanwhile, labelled, before the
    // next command's own output.
    if (c_.HasAbandoned()) {
      for (const Link& l : links_) c_.DrainPending(l.hCLL);
    }
    Outcome o = ExecuteLine(t);
    // A Ctrl-C that came while a command could not be cancelled (a plain
    // API call) is spent: it must not cancel the next line.
    TakeInterrupt();
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

Outcome Shell::ExecuteLine(std::vector<std::string> t) {
  const uint32_t waitMs = c_.Options().waitMs;
  for (size_t i = 1; i < t.size(); ++i) {
    if (t[i] != "--wait") continue;
    auto ms = i + 1 < t.size() ? ParseDurationMs(t[i + 1]) : std::nullopt;
    if (!ms) return Usage("--wait TIME (2000, 2000ms or 2s)");
    c_.SetWaitMs(*ms);
    t.erase(t.begin() + static_cast<long>(i), t.begin() + static_cast<long>(i) + 2);
    break;
  }
  Outcome o = Execute(t);
  c_.SetWaitMs(waitMs);
  return o;
}

std::string Shell::Expand(const std::vector<std::string>& t, size_t from) {
  std::string text;
  for (size_t i = from; i < t.size(); ++i) {
    std::string word = t[i];
    if (word.size() > 1 && word[0] == '$') {
      // A value that is not set stays as typed.
      std::vector<uint8_t> bytes;
      std::string why;
      if (Bytes({word}, 0, bytes, why)) word = Hex(bytes.data(), bytes.size());
    }
    text += (i > from ? " " : "") + word;
  }
  return text;
}

Outcome Shell::Execute(const std::vector<std::string>& t) {
  const std::string& cmd = t[0];
  std::string why;
  // A link the library took offline under us (the VCI was lost) is no
  // longer connected: `links` shows it, `send` says so at once.
  for (Link& l : links_) {
    if (l.connected && c_.LastLinkStatus(l.hCLL) == PDU_CLLST_OFFLINE) l.connected = l.started = false;
  }
  auto noArgs = [&]() { return t.size() == 1; };
  if (cmd == "help" || cmd == "?") {
    for (const CommandHelp& h : kHelp) {
      std::printf("  %-10s %-40s %s\n", h.name, h.args, h.text);
    }
    return Outcome::kOk;
  }
  if (cmd == "quit" || cmd == "exit") return Outcome::kQuit;
  if (cmd == "echo") {
    std::printf("%s\n", Expand(t, 1).c_str());
    return Outcome::kOk;
  }
  if (cmd == "sleep") {
    if (t.size() != 2) return Usage("sleep TIME");
    auto ms = ParseDurationMs(t[1]);
    if (!ms) return Usage("sleep: not a duration: " + t[1]);
    // Waits on the stop and interrupt pipes so that Ctrl-C ends it.
    pollfd p[2] = {{StopFd(), POLLIN, 0}, {InterruptFd(), POLLIN, 0}};
    ::poll(p, StopFd() >= 0 && InterruptFd() >= 0 ? 2 : 0, static_cast<int>(*ms));
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
  if ((cmd == "start" || cmd == "send") && !link->connected) {
    // The shell knows: no need to wait for the library's timeout.
    std::printf("error: link %zu is not connected (connect, then start)\n", current_ + 1);
    return Outcome::kFailed;
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


}  // namespace pdutool::shell

namespace pdutool {

#ifdef PDUTOOL_LIBEDIT
using shell::EditReader;
#endif
using shell::FdReader;
using shell::Shell;

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
    // At the prompt Ctrl-C cancels the current wait or line, not the
    // session (Signals.h).
    SetInterruptMode(true);
    std::printf("pdutool shell: help lists the commands, Tab completes, Ctrl-C cancels, quit or Ctrl-D leaves\n");
    EditReader reader(&shell);
    return shell.Run(reader);
  }
#endif
  FdReader reader(0);
  return shell.Run(reader);
}

}  // namespace pdutool
