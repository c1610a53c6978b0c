// The serial session of the DeviceLink: finding the VCI's port, opening it,
// the receive thread, closing.
#include <cstring>

#include "device/DeviceLink.h"
#include "log/PduLog.h"
#include "platform/Clock.h"
#include "platform/Platform.h"

namespace pdu::device {

namespace {

// The candidate list holds at most this many ports.
constexpr size_t kMaxCandidates = 260;

// Pauses of the opening sequence. The 50 ms DTR pulse resets the VCI's
// USB bridge; the 500 ms after starting ReadThread give the VCI time to
// boot before the probe; a port that could not be opened is given 100 ms
// before the next (an adapter being plugged in settles meanwhile).
constexpr uint32_t kOpenFailPauseMs = 100;
constexpr uint32_t kDtrPulseMs = 50;
constexpr uint32_t kSettleMs = 500;
constexpr int kProbeAttempts = 2;

// How long one read of ReadThread may block. Cancel wakes it at once; the
// bound is only a safety net for a lost wake-up, as long as the 2000 ms
// that closing the port may wait for the thread. Each expiry is a wake-up
// of an idle module (about 80 us of CPU on a busy virtual machine), so it
// is not shorter.
constexpr uint32_t kReadWaitMs = 2000;

}  // namespace

bool FindSerialPorts(std::vector<std::string>& ports) {
  const bool ok = ListOverridePorts(ports) || platform::SerialPortCandidates(ports);
  if (ports.size() > kMaxCandidates) ports.resize(kMaxCandidates);
  return ok;
}

bool DeviceLink::OpenPortPath(const std::string& path) {
  // Reopening (a second PDUConstruct): the old session ends first, so that
  // there is never more than one receive thread.
  if (m_ReadThread.joinable() || m_Port->IsOpen()) ClosePort();
  m_dwAborted.store(0);
  if (!OpenLine(path)) {
    platform::ClockSleep(kOpenFailPauseMs);
    return false;
  }
  if (!SetUpLine(path)) {
    m_Port->Close();
    platform::ClockSleep(kOpenFailPauseMs);
    return false;
  }
  return true;
}

void DeviceLink::LineFailed(const char* what, const std::string& path) {
  log::LogMain("%s %s failed: %s", what, path.c_str(), LastCallError(*m_Port).c_str());
}

bool DeviceLink::OpenLine(const std::string& path) {
  switch (m_Port->Open(path)) {
    case Transport::OpenStatus::kOk:
      return true;
    case Transport::OpenStatus::kBusy:
      log::LogMain("port %s skipped: busy, another program holds it (%s)", path.c_str(),
                   LastCallError(*m_Port).c_str());
      return false;
    case Transport::OpenStatus::kFailed:
      LineFailed("open", path);
      return false;
  }
  return false;
}

bool DeviceLink::SetUpLine(const std::string& path) {
  // Opening a tty raises DTR and RTS on Linux. The VCI's reset logic
  // expects both low, as the disabled line control of a COM port leaves
  // them, with DTR going high only for the pulse below. They are lowered
  // at once and again after the line settings: a driver may raise them
  // when the speed leaves B0.
  const Transport::LineStatus dtr = m_Port->SetDtr(false);
  if (dtr == Transport::LineStatus::kError) {
    LineFailed("DTR on", path);
    return false;
  }
  const bool modemLines = dtr == Transport::LineStatus::kOk;
  const auto lowerRts = [&] {
    if (modemLines && m_Port->SetRts(false) == Transport::LineStatus::kError) LineFailed("RTS on", path);
  };
  lowerRts();
  if (!m_Port->Configure()) {
    LineFailed("configure", path);
    return false;
  }
  switch (m_Port->SetLowLatency()) {
    case Transport::LineStatus::kOk:
      break;
    case Transport::LineStatus::kNotSupported:
      log::LogMain("low latency not offered by %s: received bytes may wait for the adapter's timer",
                   path.c_str());
      break;
    case Transport::LineStatus::kError:
      LineFailed("low latency on", path);
      break;
  }
  if (!modemLines) return true;  // a pseudo-terminal: nothing to pulse
  if (m_Port->SetDtr(false) == Transport::LineStatus::kError) {
    LineFailed("DTR on", path);
    return false;
  }
  lowerRts();
  if (m_Port->SetDtr(true) != Transport::LineStatus::kOk) {
    LineFailed("DTR on", path);
    return false;
  }
  platform::ClockSleep(kDtrPulseMs);
  m_Port->SetDtr(false);
  return true;
}

void DeviceLink::StartReadThread() {
  if (m_ReadThread.joinable()) {
    // Started twice: one thread is enough while it runs; one that ended
    // (the adapter went away) is joined and replaced.
    if (m_dwRunning.load() != 0) return;
    m_ReadThread.join();
  }
  m_dwKeepGoing.store(1);
  // Set here rather than in the thread, so that "joinable but not running"
  // always means the thread has left its loop.
  m_dwRunning.store(1);
  m_ReadThread = std::thread([this] { ReadThread(); });
}

uint32_t DeviceLink::ProbeOpenPort(uint8_t* answer, uint32_t capacity) {
  StartReadThread();
  platform::ClockSleep(kSettleMs);
  static const uint8_t kZeros[16] = {};
  for (int attempt = 0; attempt < kProbeAttempts; ++attempt) {
    SendManagementFrame(VCI_CMD_PROBE, kZeros, sizeof kZeros);
    const uint32_t n = ReceiveProbeAnswer(answer, capacity);
    if (n > 0) return n;
  }
  return 0;
}

bool DeviceLink::OpenPort() {
  std::vector<std::string> ports;
  FindSerialPorts(ports);
  for (const std::string& path : ports) {
    if (!OpenPortPath(path)) continue;
    // The answer's content does not matter; any valid management frame
    // with data marks the port as the VCI's.
    uint8_t answer[1280];
    if (ProbeOpenPort(answer, sizeof answer) > 0) return true;
    ClosePort();
  }
  return false;
}

void DeviceLink::ClosePort() {
  m_dwRunning.store(0);
  m_dwKeepGoing.store(0);
  if (m_ReadThread.joinable()) {
    m_Port->Cancel();
    m_ReadThread.join();
  }
  m_Port->Close();
  platform::MutexLock lock(m_RecvLock);
  m_dwCurSaveOff = 0;
}

void DeviceLink::ReadThread() {
  using ReadStatus = Transport::ReadStatus;
  // Above normal, so that an answer is taken off the line as soon as it
  // arrives even on a busy machine.
  int priorityError = 0;
  const char* priorityCall = "";
  if (!platform::RaiseThreadPriority(priorityError, priorityCall)) {
    log::LogMain("receive thread priority not raised: %s", CallError(priorityCall, priorityError).c_str());
  }
  bool errorLogged = false;
  while (m_dwKeepGoing.load() != 0) {
    if (m_dwRunning.load() == 0) {
      m_dwKeepGoing.store(0);
      break;
    }
    size_t count = 0;
    switch (m_Port->Read(m_byReadChunk, sizeof m_byReadChunk, count, kReadWaitMs)) {
      case ReadStatus::kData:
        OnReceive(m_byReadChunk, static_cast<uint32_t>(count));
        errorLogged = false;
        break;
      case ReadStatus::kTimeout:
        break;
      case ReadStatus::kCancelled:
        m_dwRunning.store(0);
        break;
      case ReadStatus::kFatal:
        // The adapter is gone. The port handle stays; later exchanges time
        // out until the application constructs again.
        log::LogMain("read %s failed: %s, receive thread ends", m_Port->Path().c_str(),
                     LastCallError(*m_Port).c_str());
        m_dwRunning.store(0);
        break;
      case ReadStatus::kError:
        if (!errorLogged) {
          log::LogMain("read %s failed: %s", m_Port->Path().c_str(), LastCallError(*m_Port).c_str());
          errorLogged = true;
        }
        // Do not retry a failing read in a tight loop.
        platform::ClockSleep(1);
        break;
    }
  }
  m_dwRunning.store(0);
}

}  // namespace pdu::device
