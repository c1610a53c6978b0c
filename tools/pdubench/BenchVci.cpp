#include "BenchVci.h"

#include <errno.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <time.h>
#include <unistd.h>

#include <cstring>

#include "AllocCounter.h"

namespace pdubench {

using vcisim::Bytes;
using vcisim::VciCore;

namespace {

// The COP answer and, when the request carries a CAN identifier and a
// service id, the ECU's positive response.
std::vector<vcisim::OutFrame> AnswerCop(const vcisim::ReceivedFrame& f) {
  std::vector<vcisim::OutFrame> out{VciCore::Answer(pdu::device::VCI_CMD_COP, 0)};
  vcisim::CopRequest cop;
  if (!VciCore::ParseCop(f, cop) || cop.request.size() < 5) return out;
  vcisim::Reader id(cop.request);
  Bytes message = VciCore::Words({id.U32() + 8});
  message.push_back(static_cast<uint8_t>(cop.request[4] + 0x40));
  message.insert(message.end(), cop.request.begin() + 5, cop.request.end());
  message.insert(message.end(), BenchVci::kResponseFill, 'A');
  out.push_back(VciCore::VehicleData(0, 0, 1, message));
  return out;
}

}  // namespace

BenchVci::BenchVci() : sim_(vcisim::DefaultScenario(), vcisim::SimOptions{}) {
  sim_.Core().SetHandler(pdu::device::VCI_CMD_COP, AnswerCop);
}

BenchVci::BenchVci(const vcisim::Scenario& scenario) : sim_(scenario, vcisim::SimOptions{}) {}

BenchVci::~BenchVci() { Stop(); }

bool BenchVci::Start(std::string& error) {
  if (!sim_.Start(error)) return false;
  stopFd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (stopFd_ < 0) {
    error = std::string("eventfd: ") + std::strerror(errno);
    return false;
  }
  thread_ = std::thread([this] {
    DoNotCountThisThread();
    tid_.store(static_cast<int>(::gettid()), std::memory_order_relaxed);
    sim_.Run(stopFd_);
  });
  return true;
}

void BenchVci::Stop() {
  if (thread_.joinable()) {
    uint64_t one = 1;
    [[maybe_unused]] ssize_t rc = ::write(stopFd_, &one, sizeof one);
    thread_.join();
  }
  if (stopFd_ >= 0) ::close(stopFd_);
  stopFd_ = -1;
}

uint64_t BenchVci::CpuMicros() const {
  if (!thread_.joinable()) return 0;
  clockid_t clock;
  // native_handle() is not const; the handle itself does not change.
  auto& t = const_cast<std::thread&>(thread_);
  if (::pthread_getcpuclockid(t.native_handle(), &clock) != 0) return 0;
  timespec ts{};
  if (::clock_gettime(clock, &ts) != 0) return 0;
  return static_cast<uint64_t>(ts.tv_sec) * 1000000u + static_cast<uint64_t>(ts.tv_nsec) / 1000u;
}

}  // namespace pdubench
