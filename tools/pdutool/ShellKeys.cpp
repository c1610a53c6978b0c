// The shell's security access helpers: key (built-in operations on the
// seed) and key-from (an external program computes the key).
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "Commands.h"
#include "Names.h"
#include "Numbers.h"
#include "ShellInternal.h"
#include "Signals.h"

namespace pdutool::shell {

// Seed bytes for key/key-from: `seed ...` tokens, else $[2:] of the last
// answer (67 01 followed by the seed).
namespace {

bool SeedOf(const std::vector<uint8_t>& last, std::vector<uint8_t>& seed, std::string& why) {
  if (last.size() < 3) {
    why = "no seed: the last answer has no bytes after its first two";
    return false;
  }
  seed.assign(last.begin() + 2, last.end());
  return true;
}

}  // namespace

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
  // Ctrl-C at the terminal reaches the program too (one process group).
  // A signal only pdutool got (kill, SIGTERM) is passed on as SIGTERM,
  // once, so that the program does not keep the script waiting.
  std::string printed;
  char chunk[256];
  bool passedOn = false;
  for (;;) {
    pollfd fds[3] = {{out[0], POLLIN, 0}, {StopFd(), POLLIN, 0}, {InterruptFd(), POLLIN, 0}};
    const nfds_t count = passedOn ? 1 : 3;
    if (::poll(fds, count, -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if (!passedOn && (fds[1].revents != 0 || fds[2].revents != 0)) {
      ::kill(pid, SIGTERM);
      passedOn = true;
    }
    if (fds[0].revents == 0) continue;
    const ssize_t n = ::read(out[0], chunk, sizeof chunk);
    if (n <= 0) break;
    printed.append(chunk, static_cast<size_t>(n));
  }
  ::close(out[0]);
  int status = 0;
  ::waitpid(pid, &status, 0);
  if (WIFSIGNALED(status)) {
    const int sig = WTERMSIG(status);
    const std::string name = sig == SIGINT ? "SIGINT" : sig == SIGTERM ? "SIGTERM" : "signal " + std::to_string(sig);
    if (sig == SIGINT || sig == SIGTERM || passedOn) {
      // The SIGTERM passed on is ours, not what the user did (at the
      // shell's prompt Ctrl-C is a key read by the line editor).
      const std::string why = passedOn && sig == SIGTERM ? "" : " (" + name + ")";
      std::printf("key-from: %s interrupted%s\n", args[0].c_str(), why.c_str());
      return Outcome::kInterrupted;
    }
    return Usage("key-from: " + args[0] + " was killed (" + name + ": " + strsignal(sig) + ")");
  }
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
  // The whole command as run (interpreter and script), then the seed.
  std::string command;
  for (const std::string& a : args) command += (command.empty() ? "" : " ") + a;
  std::printf("  $key = %s (from %s)\n", Hex(key->data(), key->size()).c_str(), command.c_str());
  return Outcome::kOk;
}

}  // namespace pdutool::shell
