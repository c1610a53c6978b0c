#include "BenchModule.h"

#include <stdlib.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>

#include "device/DeviceLink.h"
#include "pdu_api.h"
#include "platform/Platform.h"

namespace pdubench {

namespace fs = std::filesystem;

namespace {

const char* const kResource = "RSC_ISO_15765_3_on_ISO_15765_2_6_14";

// The request of every round trip: ReadDataByIdentifier F190 (the VIN).
uint8_t g_Request[] = {0x22, 0xF1, 0x90};

// The callback has no user pointer of its own; one module is open at a time.
BenchModule* g_Current = nullptr;

bool CopyFile(const std::string& from, const std::string& to) {
  std::ifstream in(from, std::ios::binary);
  if (!in) return false;
  std::ofstream out(to, std::ios::binary);
  out << in.rdbuf();
  return static_cast<bool>(out);
}

}  // namespace

uint64_t NowNs() {
  timespec ts{};
  ::clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * 1000000000u + static_cast<uint64_t>(ts.tv_nsec);
}

CpuSnapshot CpuSnapshot::Take(uint64_t vciMicros, int vciTid) {
  CpuSnapshot s;
  s.wallMicros = NowNs() / 1000;
  s.processMicros = pdu::platform::ProcessCpuMicros();
  s.mainMicros = pdu::platform::ThreadCpuMicros();
  s.vciMicros = vciMicros;
  {
    std::ifstream stat("/proc/stat");
    std::string cpu;
    uint64_t ticks[8] = {};
    stat >> cpu;
    for (uint64_t& t : ticks) stat >> t;
    // user nice system idle iowait irq softirq steal
    const uint64_t busy = ticks[0] + ticks[1] + ticks[2] + ticks[5] + ticks[6];
    s.machineBusyMicros = busy * 1000000u / static_cast<uint64_t>(::sysconf(_SC_CLK_TCK));
  }
  const std::string self = std::to_string(::gettid());
  const std::string vci = std::to_string(vciTid);
  std::error_code ec;
  for (const auto& task : fs::directory_iterator("/proc/self/task", ec)) {
    const std::string tid = task.path().filename().string();
    if (tid == self || tid == vci) continue;
    std::ifstream status(task.path() / "status");
    std::string line;
    while (std::getline(status, line)) {
      if (line.rfind("voluntary_ctxt_switches:", 0) == 0 || line.rfind("nonvoluntary_ctxt_switches:", 0) == 0) {
        s.moduleSwitches += std::strtoull(line.c_str() + line.find(':') + 1, nullptr, 10);
      }
    }
  }
  return s;
}

double CpuSnapshot::OthersPercent(const CpuSnapshot& a, const CpuSnapshot& b) {
  const double wall = static_cast<double>(b.wallMicros - a.wallMicros);
  const double busy = static_cast<double>(b.machineBusyMicros - a.machineBusyMicros);
  const double ours = static_cast<double>(b.processMicros - a.processMicros);
  const double cpus = static_cast<double>(::sysconf(_SC_NPROCESSORS_ONLN));
  if (wall <= 0 || cpus <= 0) return 0;
  return std::max(0.0, std::min(100.0, 100.0 * (busy - ours) / (wall * cpus)));
}

uint64_t ResidentKiB() {
  std::ifstream statm("/proc/self/statm");
  uint64_t size = 0;
  uint64_t resident = 0;
  statm >> size >> resident;
  return resident * static_cast<uint64_t>(::sysconf(_SC_PAGESIZE)) / 1024;
}

BenchModule::BenchModule(std::string dataDir, std::string port)
    : dataDir_(std::move(dataDir)), port_(std::move(port)) {
  char pattern[] = "/tmp/pdubench-XXXXXX";
  if (::mkdtemp(pattern) != nullptr) folder_ = std::string(pattern) + "/";
}

BenchModule::~BenchModule() {
  Close();
  if (!folder_.empty()) {
    std::error_code ec;
    fs::remove_all(folder_, ec);
  }
}

bool BenchModule::Open(bool logging, std::string& error) {
  Close();
  if (folder_.empty()) {
    error = "cannot create a temporary folder";
    return false;
  }
  if (!CopyFile(dataDir_ + "/MDF.xml", folder_ + "MDF.xml")) {
    error = "cannot copy " + dataDir_ + "/MDF.xml";
    return false;
  }
  std::ofstream(folder_ + "config.ini") << "[LOG]\nopen=" << (logging ? "1" : "0") << "\n";
  pdu::platform::SetEnvValue("PDU7318_HOME", folder_);
  pdu::platform::SetEnvValue("PDU7318_LOG_PATH", folder_ + "logs");
  pdu::platform::SetEnvValue("PDU7318_PORTS", port_);

  PDUConstruct(nullptr, nullptr);
  constructed_ = true;
  // A construction that found no VCI still succeeds; it leaves no link.
  if (pdu::device::GetDeviceLink() == nullptr) {
    error = "the module found no VCI on " + port_;
    Close();
    return false;
  }
  UNUM32 resourceId = PDU_ID_UNDEF;
  if (PDUGetObjectId(PDU_OBJT_RESOURCE, const_cast<CHAR8*>(kResource), &resourceId) != PDU_STATUS_NOERROR ||
      resourceId == PDU_ID_UNDEF) {
    error = std::string("the module description has no resource ") + kResource;
    Close();
    return false;
  }
  PDU_FLAG_DATA noFlags{0, nullptr};
  UNUM32 h = 0;
  if (PDUCreateComLogicalLink(kMod, nullptr, resourceId, nullptr, &h, &noFlags) != PDU_STATUS_NOERROR || h == 0) {
    error = "PDUCreateComLogicalLink failed";
    Close();
    return false;
  }
  hCLL_ = h;
  g_Current = this;
  PDURegisterEventCallback(kMod, hCLL_, &BenchModule::Callback);
  if (PDUConnect(kMod, hCLL_) != PDU_STATUS_NOERROR) {
    error = "PDUConnect failed";
    Close();
    return false;
  }
  // The connect's link-status event comes through the callback; give it
  // its moment before anything is measured.
  pdu::platform::SleepMs(50);
  return true;
}

void BenchModule::Close() {
  if (!constructed_) return;
  if (hCLL_ != 0) {
    PDUDisconnect(kMod, hCLL_);
    pdu::platform::SleepMs(20);
    PDURegisterEventCallback(kMod, hCLL_, nullptr);
    PDUDestroyComLogicalLink(kMod, hCLL_);
    hCLL_ = 0;
  }
  PDUDestruct();
  constructed_ = false;
  g_Current = nullptr;
}

uint64_t BenchModule::RoundTrip(uint32_t timeoutMs) {
  PDU_COP_CTRL_DATA ctrl{};
  ctrl.NumSendCycles = 1;
  ctrl.NumReceiveCycles = 1;  // one answer: no wait for further responses
  uint64_t resultsBefore;
  {
    std::lock_guard<std::mutex> lock(mu_);
    resultsBefore = results_;
  }
  UNUM32 hCoP = 0;
  const uint64_t start = NowNs();
  if (PDUStartComPrimitive(kMod, hCLL_, PDU_COPT_SENDRECV, sizeof g_Request, g_Request, &ctrl, nullptr, &hCoP) !=
      PDU_STATUS_NOERROR) {
    return 0;
  }
  std::unique_lock<std::mutex> lock(mu_);
  if (!cv_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return finishedCop_ == hCoP; })) return 0;
  if (results_ != resultsBefore + 1) return 0;
  return finishedAtNs_ > start ? finishedAtNs_ - start : 1;
}

void BenchModule::Callback(uint32_t, uint32_t hMod, uint32_t hCLL, void*, void*) {
  if (g_Current != nullptr) g_Current->OnEvents(hMod, hCLL);
}

void BenchModule::OnEvents(uint32_t hMod, uint32_t hCLL) {
  // The application thread is woken once per round trip, by the FINISHED
  // item, as an application that waits for the end of a ComPrimitive is.
  bool finished = false;
  PDU_EVENT_ITEM* item = nullptr;
  while (PDUGetEventItem(hMod, hCLL, &item) == PDU_STATUS_NOERROR && item != nullptr) {
    const uint64_t now = NowNs();
    {
      std::lock_guard<std::mutex> lock(mu_);
      if (item->ItemType == PDU_IT_RESULT) {
        const auto* r = static_cast<const PDU_RESULT_DATA*>(item->pData);
        const bool positive = r != nullptr && r->NumDataBytes >= 3 && r->pDataBytes[0] == 0x62 &&
                              r->pDataBytes[1] == 0xF1 && r->pDataBytes[2] == 0x90;
        ++(positive ? results_ : errors_);
      } else if (item->ItemType == PDU_IT_ERROR) {
        ++errors_;
      } else if (item->ItemType == PDU_IT_STATUS && item->hCop != 0xFFFFFFFFu &&
                 *static_cast<const uint32_t*>(item->pData) == PDU_COPST_FINISHED) {
        finishedCop_ = item->hCop;
        finishedAtNs_ = now;
        finished = true;
      }
    }
    PDUDestroyItem(reinterpret_cast<PDU_ITEM*>(item));
    item = nullptr;
  }
  if (finished) cv_.notify_all();
}

uint64_t BenchModule::LogBytes() const {
  uint64_t total = 0;
  std::error_code ec;
  const fs::path logs = fs::path(folder_) / "logs";
  if (!fs::exists(logs, ec)) return 0;
  for (const auto& entry : fs::recursive_directory_iterator(logs, ec)) {
    if (entry.is_regular_file(ec)) total += entry.file_size(ec);
  }
  return total;
}

}  // namespace pdubench
