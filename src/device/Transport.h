// Transport: the VCI's line, as the device link needs it.
//
// The DeviceLink never talks to the operating system itself; it owns one
// Transport and drives it in this order:
//
//   Open(path)                     exclusive use of the line, or kBusy
//   SetDtr(false), SetRts(false)   both modem lines low before anything else
//   Configure()                    raw 8N1 at 1,500,000 baud, no flow control
//   SetLowLatency()                the driver's low-latency mode, if offered
//   SetDtr(true) ... SetDtr(false) the 50 ms reset pulse (skipped when the
//                                  line has no modem lines: kNotSupported)
//   Read / Write                   the session
//   Cancel, Close                  the end of the session
//
// The production Transport is the serial port (SerialTransport, made by
// the default factory); tests put a recording fake or an in-memory VCI
// behind the same interface with SetTransportFactory.
//
// Threads:
//   - Read is called only by the DeviceLink's ReadThread.
//   - Write is called by one sender at a time (the callers serialise
//     through the ApiLock and the DeviceLink's send lock).
//   - Cancel may be called from any thread at any time, also while Read or
//     Write block; it must not block itself.
//   - Open, the line calls, Configure, SetLowLatency and Close run on the
//     thread of PDUConstruct/PDUDestruct while neither Read nor Write is in
//     progress (the DeviceLink stops its ReadThread before Close).
//   - IsOpen, Path, LastError and LastErrorCall may be called from any
//     thread.
// An implementation is not copyable; its destructor closes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace pdu::device {

class Transport {
 public:
  enum class OpenStatus {
    kOk,
    kBusy,    // another program (or another module) holds the line
    kFailed,  // anything else: missing, no permission, not a tty
  };

  // Outcome of SetDtr, SetRts and SetLowLatency.
  enum class LineStatus {
    kOk,
    kNotSupported,  // the line has no such control (a pseudo-terminal, a
                    // driver without low-latency mode); nothing changed
    kError,
  };

  // Outcome of Read.
  enum class ReadStatus {
    kData,       // at least one byte arrived; count holds how many
    kTimeout,    // nothing arrived within the timeout
    kCancelled,  // Cancel was called (or the line is not open)
    kFatal,      // the line is gone (hang-up, unplugged adapter): every
                 // further read would fail the same way
    kError,      // any other failure of this read; the next may succeed
  };

  virtual ~Transport() = default;

  // Opens the line for exclusive use; closes one opened before. A Cancel
  // given before is forgotten.
  virtual OpenStatus Open(const std::string& path) = 0;
  // Raw mode, 8 data bits, no parity, one stop bit, 1,500,000 baud, no
  // hardware or software flow control. False on failure.
  virtual bool Configure() = 0;
  virtual LineStatus SetDtr(bool on) = 0;
  virtual LineStatus SetRts(bool on) = 0;
  // Asks the driver to hand received bytes over at once instead of
  // batching them (USB serial adapters wait up to 16 ms by default).
  virtual LineStatus SetLowLatency() = 0;

  // Writes count bytes, waiting at most timeoutMs for the driver to take
  // them. Returns the number written (count on success).
  virtual size_t Write(const uint8_t* data, size_t count, uint32_t timeoutMs) = 0;
  // Blocks until bytes arrive, timeoutMs passes or Cancel is called; then
  // copies at most capacity bytes to buf and stores their number in count
  // (0 unless kData). A Cancel stays in force until the next Open.
  virtual ReadStatus Read(uint8_t* buf, size_t capacity, size_t& count, uint32_t timeoutMs) = 0;
  // Wakes a blocked Read and Write at once. Never blocks.
  virtual void Cancel() = 0;
  // Releases the line (and its exclusive use). Safe when nothing is open.
  virtual void Close() = 0;

  virtual bool IsOpen() const = 0;
  virtual const std::string& Path() const = 0;
  // OS error number and the name of the OS call of the last failure, for
  // log lines.
  virtual int LastError() const = 0;
  virtual const char* LastErrorCall() const = 0;
};

// How the device room names a failed OS call in its log lines: "<call>
// error <code>" with the OS's own number ("open error 16"), so that a
// support engineer greps one form.
std::string CallError(const char* call, int error);
inline std::string LastCallError(const Transport& port) { return CallError(port.LastErrorCall(), port.LastError()); }

// Makes the Transport of every DeviceLink created afterwards. An empty
// function restores the default, the serial port. Tests set it before they
// construct; it is not meant to change while a DeviceLink is being made.
using TransportFactory = std::function<std::unique_ptr<Transport>()>;
void SetTransportFactory(TransportFactory factory);
std::unique_ptr<Transport> MakeTransport();

// The names discovery tries, in order, instead of the operating system's
// serial devices, while set (tests whose factory makes in-memory lines name
// them here, the same on every OS). An empty function restores the OS list.
using PortLister = std::function<bool(std::vector<std::string>&)>;
void SetPortLister(PortLister lister);
// The override's list; false (ports untouched) when none is set.
bool ListOverridePorts(std::vector<std::string>& ports);

// The serial port behind the Transport interface.
std::unique_ptr<Transport> MakeSerialTransport();

}  // namespace pdu::device
