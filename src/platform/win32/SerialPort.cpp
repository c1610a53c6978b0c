// Windows serial port: a COM port opened for overlapped I/O.
//
// The port keeps the classic configuration of the VCI's COM port: read
// timeouts ReadIntervalTimeout = MAXDWORD and all else 0, so a ReadFile
// returns at once with whatever bytes have arrived, and the event mask
// EV_RXCHAR. Read does not poll: when a read brings nothing it waits, with
// an overlapped WaitCommEvent, for the next received character and for the
// cancel event together, then reads again. (Wine's serial driver instead
// keeps such a read pending until bytes arrive; Read waits for that pending
// read and the cancel event in the same way.) Cancel therefore wakes a blocked
// read or write at once. A request that is given up (timeout, cancel) is
// ended (Impl::Abort) and waited for, because its OVERLAPPED must outlive
// the driver's use of it; bytes that arrive meanwhile stay in the driver's
// buffer for the next Read.
//
// Errors: ERROR_ACCESS_DENIED from a read means the adapter was unplugged
// (kFatal; Wine reports a hung-up pseudo-terminal as ERROR_BROKEN_PIPE);
// a port without modem lines (Wine's COM port on a
// pseudo-terminal) refuses DTR with ERROR_NOT_SUPPORTED (kNotSupported).
#include "platform/SerialPort.h"

#include <windows.h>

#include <atomic>

#include "platform/Platform.h"
#include "platform/win32/WinText.h"

namespace pdu::platform {
namespace {

constexpr DWORD kBaudRate = 1500000;

// A manual-reset, non-signalled event; null when the system has none left.
HANDLE NewEvent() { return CreateEventW(nullptr, TRUE, FALSE, nullptr); }

void CloseIfValid(HANDLE& h) {
  if (h != nullptr && h != INVALID_HANDLE_VALUE) CloseHandle(h);
  h = nullptr;
}

}  // namespace

struct SerialPort::Impl {
  std::atomic<HANDLE> port{INVALID_HANDLE_VALUE};
  // Manual-reset events: one for each OVERLAPPED (read, character wait,
  // write), and the cancel event, set by Cancel and reset only by Open.
  HANDLE readEvent = nullptr;
  HANDLE commEvent = nullptr;
  HANDLE writeEvent = nullptr;
  HANDLE cancelEvent = nullptr;
  std::string path;
  bool busy = false;
  std::atomic<int> lastError{0};
  std::atomic<const char*> lastCall{""};

  void Fail(const char* call, DWORD error) {
    lastError.store(static_cast<int>(error));
    lastCall.store(call);
  }
  void Fail(const char* call) { Fail(call, GetLastError()); }

  enum class Wait { kCompleted, kTimedOut, kCancelled, kFailed };

  // Read's result for a request that was given up.
  ReadStatus Given(Wait wait) const {
    switch (wait) {
      case Wait::kCancelled:
        return ReadStatus::kCancelled;
      case Wait::kTimedOut:
        return ReadStatus::kTimeout;
      case Wait::kCompleted:
      case Wait::kFailed:
        break;
    }
    return ReadStatus::kError;  // Finish recorded why
  }

  // Read's result for a failed ReadFile or WaitCommEvent.
  ReadStatus ReadFailed(const char* call, DWORD error) {
    Fail(call, error);
    switch (error) {
      case ERROR_ACCESS_DENIED:           // a USB adapter was unplugged
      case ERROR_BROKEN_PIPE:             // Wine: the pseudo-terminal hung up
      case ERROR_DEVICE_REMOVED:
      case ERROR_DEVICE_NOT_CONNECTED:
        // The handle stays valid, but every further read fails the same way.
        return ReadStatus::kFatal;
      default:
        // ERROR_OPERATION_ABORTED included: someone purged the port.
        return Cancelled() ? ReadStatus::kCancelled : ReadStatus::kError;
    }
  }

  bool HasEvents() const {
    return readEvent != nullptr && commEvent != nullptr && writeEvent != nullptr &&
           cancelEvent != nullptr;
  }

  bool Cancelled() const { return WaitForSingleObject(cancelEvent, 0) == WAIT_OBJECT_0; }

  // How a request that is given up is ended: a read or write with
  // CancelIoEx; a WaitCommEvent by setting the event mask again, which
  // completes a pending wait on every driver (Wine's serial driver ignores
  // CancelIoEx for it).
  enum class Abort { kCancelIo, kResetMask };

  // Waits for an overlapped request on h to complete, for the cancel event
  // or for timeoutMs. A request that did not complete is ended and waited
  // for. Returns the bytes transferred; error holds the request's error
  // when it failed.
  DWORD Finish(HANDLE h, OVERLAPPED& ov, uint32_t timeoutMs, Abort abort, Wait& wait,
               DWORD& error) {
    HANDLE waits[2] = {ov.hEvent, cancelEvent};
    const DWORD w = WaitForMultipleObjects(2, waits, FALSE, timeoutMs);
    wait = w == WAIT_OBJECT_0       ? Wait::kCompleted
           : w == WAIT_OBJECT_0 + 1 ? Wait::kCancelled
           : w == WAIT_TIMEOUT      ? Wait::kTimedOut
                                    : Wait::kFailed;
    if (wait == Wait::kFailed) Fail("WaitForMultipleObjects");
    if (wait != Wait::kCompleted) {
      if (abort == Abort::kResetMask) {
        SetCommMask(h, EV_RXCHAR);
      } else {
        CancelIoEx(h, &ov);
      }
    }
    DWORD done = 0;
    error = ERROR_SUCCESS;
    if (!GetOverlappedResult(h, &ov, &done, TRUE)) error = GetLastError();
    return done;
  }
};

SerialPort::SerialPort() : impl_(std::make_unique<Impl>()) {
  impl_->readEvent = NewEvent();
  impl_->commEvent = NewEvent();
  impl_->writeEvent = NewEvent();
  impl_->cancelEvent = NewEvent();
  if (!impl_->HasEvents()) impl_->Fail("CreateEventW");
}

SerialPort::~SerialPort() {
  Close();
  CloseIfValid(impl_->readEvent);
  CloseIfValid(impl_->commEvent);
  CloseIfValid(impl_->writeEvent);
  CloseIfValid(impl_->cancelEvent);
}

bool SerialPort::Open(const std::string& path) {
  Close();
  impl_->path = path;
  impl_->busy = false;
  if (!impl_->HasEvents()) {
    impl_->Fail("CreateEventW", ERROR_INVALID_HANDLE);
    return false;
  }
  ResetEvent(impl_->cancelEvent);
  // Exclusive (no sharing), overlapped: the only way to wait for a read and
  // the cancel event together.
  HANDLE h = CreateFileW(win32::Widen(path).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                         OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    const DWORD error = GetLastError();
    // A COM port another program holds refuses a second open with access
    // denied (some drivers: sharing violation).
    impl_->busy = error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION;
    impl_->Fail("CreateFileW", error);
    return false;
  }
  impl_->port.store(h);
  return true;
}

bool SerialPort::Busy() const { return impl_->busy; }

bool SerialPort::Configure() {
  HANDLE h = impl_->port.load();
  if (h == INVALID_HANDLE_VALUE) {
    impl_->Fail("Configure", ERROR_INVALID_HANDLE);
    return false;
  }
  if (!SetCommMask(h, EV_RXCHAR)) {
    impl_->Fail("SetCommMask");
    return false;
  }
  COMMTIMEOUTS timeouts = {};
  timeouts.ReadIntervalTimeout = MAXDWORD;
  timeouts.ReadTotalTimeoutMultiplier = 0;
  timeouts.ReadTotalTimeoutConstant = 0;
  timeouts.WriteTotalTimeoutMultiplier = 0;
  timeouts.WriteTotalTimeoutConstant = 0;
  if (!SetCommTimeouts(h, &timeouts)) {
    impl_->Fail("SetCommTimeouts");
    return false;
  }
  DCB dcb = {};
  dcb.DCBlength = sizeof dcb;
  if (!GetCommState(h, &dcb)) {
    impl_->Fail("GetCommState");
    return false;
  }
  // Only these fields change; the rest stay as the driver reported them.
  dcb.DCBlength = sizeof dcb;  // 28
  dcb.BaudRate = kBaudRate;
  dcb.ByteSize = 8;
  dcb.Parity = NOPARITY;
  dcb.StopBits = ONESTOPBIT;
  dcb.fDtrControl = DTR_CONTROL_DISABLE;
  dcb.fRtsControl = RTS_CONTROL_DISABLE;
  dcb.fTXContinueOnXoff = 0;
  if (!SetCommState(h, &dcb)) {
    impl_->Fail("SetCommState");
    return false;
  }
  return true;
}

namespace {

SerialPort::LineStatus Escape(HANDLE h, DWORD function, DWORD& error) {
  if (h == INVALID_HANDLE_VALUE) {
    error = ERROR_INVALID_HANDLE;
    return SerialPort::LineStatus::kError;
  }
  if (EscapeCommFunction(h, function)) return SerialPort::LineStatus::kOk;
  error = GetLastError();
  return error == ERROR_NOT_SUPPORTED ? SerialPort::LineStatus::kNotSupported
                                      : SerialPort::LineStatus::kError;
}

}  // namespace

SerialPort::LineStatus SerialPort::SetDtr(bool on) {
  DWORD error = ERROR_SUCCESS;
  const LineStatus status = Escape(impl_->port.load(), on ? SETDTR : CLRDTR, error);
  if (status != LineStatus::kOk)
    impl_->Fail(on ? "EscapeCommFunction(SETDTR)" : "EscapeCommFunction(CLRDTR)", error);
  return status;
}

SerialPort::LineStatus SerialPort::SetRts(bool on) {
  DWORD error = ERROR_SUCCESS;
  const LineStatus status = Escape(impl_->port.load(), on ? SETRTS : CLRRTS, error);
  if (status != LineStatus::kOk)
    impl_->Fail(on ? "EscapeCommFunction(SETRTS)" : "EscapeCommFunction(CLRRTS)", error);
  return status;
}

SerialPort::LineStatus SerialPort::SetLowLatency() {
  // Windows has no call for it: an FTDI adapter's latency timer is a
  // setting of its driver (Device Manager, port settings, Advanced).
  impl_->Fail("SetLowLatency", ERROR_NOT_SUPPORTED);
  return LineStatus::kNotSupported;
}

size_t SerialPort::Write(const uint8_t* data, size_t count, uint32_t timeoutMs) {
  HANDLE h = impl_->port.load();
  if (h == INVALID_HANDLE_VALUE) {
    impl_->Fail("WriteFile", ERROR_INVALID_HANDLE);
    return 0;
  }
  if (count == 0) return 0;
  if (impl_->Cancelled()) {
    impl_->Fail("WriteFile", ERROR_OPERATION_ABORTED);
    return 0;
  }
  OVERLAPPED ov = {};
  ov.hEvent = impl_->writeEvent;
  ResetEvent(ov.hEvent);
  DWORD done = 0;
  if (WriteFile(h, data, static_cast<DWORD>(count), &done, &ov)) {
    // Completed at once; the OVERLAPPED holds the count too.
    GetOverlappedResult(h, &ov, &done, FALSE);
    return done;
  }
  const DWORD error = GetLastError();
  if (error != ERROR_IO_PENDING) {
    impl_->Fail("WriteFile", error);
    return 0;
  }
  Impl::Wait wait = Impl::Wait::kCompleted;
  DWORD requestError = ERROR_SUCCESS;
  done = impl_->Finish(h, ov, timeoutMs, Impl::Abort::kCancelIo, wait, requestError);
  if (done < count) {
    DWORD why = requestError;
    if (wait == Impl::Wait::kFailed) return done;  // Finish recorded the wait's error
    if (why == ERROR_SUCCESS || why == ERROR_OPERATION_ABORTED) {
      why = wait == Impl::Wait::kTimedOut ? static_cast<DWORD>(ERROR_TIMEOUT)
                                          : static_cast<DWORD>(ERROR_OPERATION_ABORTED);
    }
    impl_->Fail("WriteFile", why);
  }
  return done;
}

SerialPort::ReadStatus SerialPort::Read(uint8_t* buf, size_t capacity, size_t& count,
                                        uint32_t timeoutMs) {
  count = 0;
  HANDLE h = impl_->port.load();
  if (h == INVALID_HANDLE_VALUE || impl_->Cancelled()) return ReadStatus::kCancelled;
  if (capacity == 0) return ReadStatus::kError;
  const DWORD want = capacity > MAXDWORD ? MAXDWORD : static_cast<DWORD>(capacity);
  const uint64_t deadline = MonotonicMicros() + static_cast<uint64_t>(timeoutMs) * 1000u;
  auto leftMs = [deadline]() -> uint32_t {
    const uint64_t now = MonotonicMicros();
    return now >= deadline ? 0u : static_cast<uint32_t>((deadline - now + 999u) / 1000u);
  };
  for (;;) {
    // Whatever has arrived. A Windows serial driver completes this at once
    // (with no bytes when none are there); Wine's keeps it pending until
    // bytes arrive, and then the wait below is the wait for them.
    OVERLAPPED ov = {};
    ov.hEvent = impl_->readEvent;
    ResetEvent(ov.hEvent);
    DWORD done = 0;
    DWORD error = ERROR_SUCCESS;
    Impl::Wait outcome = Impl::Wait::kCompleted;
    if (ReadFile(h, buf, want, &done, &ov)) {
      GetOverlappedResult(h, &ov, &done, FALSE);
    } else if ((error = GetLastError()) == ERROR_IO_PENDING) {
      done = impl_->Finish(h, ov, leftMs(), Impl::Abort::kCancelIo, outcome, error);
    }
    if (done > 0) {
      count = done;
      return ReadStatus::kData;
    }
    if (outcome != Impl::Wait::kCompleted) return impl_->Given(outcome);
    if (error != ERROR_SUCCESS) return impl_->ReadFailed("ReadFile", error);

    // Nothing there: sleep in the driver until a character arrives.
    if (leftMs() == 0) return ReadStatus::kTimeout;
    OVERLAPPED wait = {};
    wait.hEvent = impl_->commEvent;
    ResetEvent(wait.hEvent);
    DWORD mask = 0;
    if (WaitCommEvent(h, &mask, &wait)) continue;  // a character came meanwhile
    error = GetLastError();
    if (error != ERROR_IO_PENDING) return impl_->ReadFailed("WaitCommEvent", error);
    impl_->Finish(h, wait, leftMs(), Impl::Abort::kResetMask, outcome, error);
    if (outcome != Impl::Wait::kCompleted) return impl_->Given(outcome);
    // A wait that itself failed (the port purged, the mask changed) is
    // reported rather than retried, so that nothing can spin here.
    if (error != ERROR_SUCCESS) return impl_->ReadFailed("WaitCommEvent", error);
  }
}

void SerialPort::Cancel() {
  if (impl_->cancelEvent != nullptr) SetEvent(impl_->cancelEvent);
}

void SerialPort::Close() {
  // Wakes a reader or writer that is still blocked (the owner should have
  // stopped them): their request ends when the handle goes, and they see
  // the cancel, not an error.
  Cancel();
  HANDLE h = impl_->port.exchange(INVALID_HANDLE_VALUE);
  if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
}

bool SerialPort::IsOpen() const { return impl_->port.load() != INVALID_HANDLE_VALUE; }

const std::string& SerialPort::Path() const { return impl_->path; }

int SerialPort::LastError() const { return impl_->lastError.load(); }

const char* SerialPort::LastErrorCall() const { return impl_->lastCall.load(); }

}  // namespace pdu::platform
