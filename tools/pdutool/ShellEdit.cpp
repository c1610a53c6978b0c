// The shell's prompt on a terminal: completion of commands, resources
// and ComParam names, and the libedit line reader.
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>

#include "Commands.h"
#include "Names.h"
#include "Numbers.h"
#include "ShellInternal.h"
#include "Signals.h"

namespace pdutool::shell {

std::vector<std::string> Shell::Complete(const std::string& before) {
  // before: the line up to the cursor. The word being typed is its tail.
  size_t start = before.find_last_of(' ');
  start = start == std::string::npos ? 0 : start + 1;
  const std::string word = before.substr(start);
  std::vector<std::string> words = Tokens(before.substr(0, start));
  std::vector<std::string> pool;
  if (words.empty()) {
    for (size_t i = 0; i < kHelpCount; ++i) {
      if (kHelp[i].name[0] != '-') pool.push_back(kHelp[i].name);
    }
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

namespace {

// The one prompt of the process (GetChar is a plain function for libedit).
EditReader* g_reader = nullptr;

long long NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

}  // namespace


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
  g_reader = this;
}

EditReader::~EditReader() {
  g_reader = nullptr;
  if (!histFile_.empty()) history(hist_, &ev_, H_SAVE, histFile_.c_str());
  history_end(hist_);
  el_end(el_);
}

int EditReader::GetChar(EditLine* el, wchar_t* c) {
  // One byte of the terminal; the end of input when a stop was requested
  // (the signal watcher writes to the stop pipe) or on Ctrl-C, which comes
  // as SIGINT through the interrupt pipe or, where the terminal does not
  // make it a signal, as the byte 03.
  for (;;) {
    pollfd fds[3] = {{0, POLLIN, 0}, {StopFd(), POLLIN, 0}, {InterruptFd(), POLLIN, 0}};
    const nfds_t n = StopFd() < 0 ? 1 : InterruptFd() < 0 ? 2 : 3;
    if (::poll(fds, n, -1) < 0) continue;
    if (StopRequested()) return 0;
    unsigned char b = 0;
    bool interrupt = TakeInterrupt();
    if (!interrupt && (fds[0].revents & (POLLIN | POLLHUP | POLLERR)) != 0) {
      ssize_t got = ::read(0, &b, 1);
      if (got == 0) return 0;
      if (got < 0) {
        if (errno != EINTR && errno != EAGAIN) return -1;
        continue;
      }
      interrupt = b == 0x03;
    }
    if (interrupt) {
      if (g_reader != nullptr) {
        const LineInfo* li = el_line(el);
        g_reader->interrupted_ = true;
        g_reader->interruptedEmpty_ = li->lastchar == li->buffer;
      }
      return 0;
    }
    *c = static_cast<wchar_t>(b);
    return 1;
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
  interrupted_ = false;
  int count = 0;
  const char* text = el_gets(el_, &count);
  if (interrupted_ && !StopRequested()) {
    // Ctrl-C: the half-typed line is dropped. A second one within a
    // second at an empty prompt leaves.
    std::printf("^C\n");
    const long long now = NowMs();
    if (interruptedEmpty_ && now - lastEmptyInterruptMs_ <= 1000) return false;
    if (interruptedEmpty_) {
      lastEmptyInterruptMs_ = now;
      std::printf("(Ctrl-C again, Ctrl-D or quit leaves)\n");
    }
    std::fflush(stdout);
    line.clear();
    return true;
  }
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

}  // namespace pdutool::shell
