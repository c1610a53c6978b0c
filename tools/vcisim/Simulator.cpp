#include "Simulator.h"

#include <errno.h>
#include <poll.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>

#include "Trace.h"

namespace vcisim {

namespace {

uint64_t MonotonicNs() {
  return static_cast<uint64_t>(
      std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
          .count());
}

}  // namespace

Simulator::Simulator(const Scenario& scenario, SimOptions options)
    : device_(scenario),
      options_(std::move(options)),
      core_({false, false, options_.faults}),
      startNs_(MonotonicNs()) {
  core_.SetDefault([this](const ReceivedFrame& f) { return device_.OnFrame(f.channel, f.command, f.data, f.tick); });
  device_.AttachCore(&core_);
  if (options_.openStatus != 0) core_.SetStatus(pdu::device::VCI_CMD_OPEN, options_.openStatus);
  if (options_.trace) core_.SetTrace(DescribeFrame, [this](const std::string& line) { Trace(line); });
}

Simulator::~Simulator() {
  if (linked_) ::unlink(options_.linkPath.c_str());
}

bool Simulator::Start(std::string& error) {
  if (!pty_.Open(error)) return false;
  if (!options_.linkPath.empty()) {
    struct stat st {};
    if (::lstat(options_.linkPath.c_str(), &st) == 0) {
      if (!S_ISLNK(st.st_mode)) {
        error = options_.linkPath + " exists and is not a symbolic link";
        return false;
      }
      ::unlink(options_.linkPath.c_str());
    }
    if (::symlink(pty_.SlavePath().c_str(), options_.linkPath.c_str()) != 0) {
      error = "cannot link " + options_.linkPath + ": " + strerror(errno);
      return false;
    }
    linked_ = true;
  }
  return true;
}

uint32_t Simulator::NowMs() const { return static_cast<uint32_t>((MonotonicNs() - startNs_) / 1000000); }

void Simulator::Trace(const std::string& line) {
  if (!options_.trace) return;
  uint64_t us = (MonotonicNs() - startNs_) / 1000;
  std::printf("[%5llu.%03llu] %s\n", static_cast<unsigned long long>(us / 1000000),
              static_cast<unsigned long long>((us / 1000) % 1000), line.c_str());
  std::fflush(stdout);
}

int Simulator::Run(int stopFd) {
  uint8_t chunk[4096];
  while (!unplugged_) {
    int timeout = -1;
    if (std::optional<uint32_t> due = core_.NextDueMs()) {
      const uint32_t now = NowMs();
      timeout = *due > now ? static_cast<int>(*due - now) : 0;
    }
    pollfd fds[3] = {{pty_.Master(), POLLIN, 0}, {stopFd, POLLIN, 0}, {pty_.CloseWatch(), POLLIN, 0}};
    int n = ::poll(fds, 3, timeout);
    if (n < 0 && errno != EINTR) {
      std::fprintf(stderr, "vcisim: poll: %s\n", strerror(errno));
      return 1;
    }
    if (n > 0 && (fds[1].revents & (POLLIN | POLLHUP))) break;
    if (n > 0 && (fds[2].revents & POLLIN)) pty_.EndExclusiveUse();
    if (n > 0 && (fds[0].revents & POLLIN)) {
      ssize_t got = ::read(pty_.Master(), chunk, sizeof chunk);
      if (got > 0) {
        core_.Feed(chunk, static_cast<size_t>(got), [this] { return NowMs(); }, [this] { Flush(); });
      }
    }
    Flush();
    if (core_.UnplugDue(NowMs())) Unplug();
  }
  return 0;
}

void Simulator::Flush() {
  out_.clear();
  if (core_.TakeDue(NowMs(), out_)) WriteAll(out_.data(), out_.size());
}

void Simulator::Unplug() {
  Trace("         unplugged: closing the port");
  pty_.HangUp();
  unplugged_ = true;
}

void Simulator::WriteAll(const uint8_t* bytes, size_t count) {
  const size_t left = pty_.Write(bytes, count, options_.faults.splitWrites);
  if (left != 0) Trace("VCI->PC  write failed, " + std::to_string(left) + " bytes not sent");
}

}  // namespace vcisim
