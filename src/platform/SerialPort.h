// One serial port, as the device link sees it.
//
// The VCI sits behind a USB serial adapter that runs raw 8N1 at 1,500,000
// baud without flow control. This class owns the OS handle of such a port
// and offers exactly what the device link needs: open by path for
// exclusive use, configure, drive the modem lines, ask for low latency,
// write a frame, block in a read that another thread can wake, close. posix/SerialPort.cpp (termios, poll, an eventfd for the wake-up)
// and win32/SerialPort.cpp (overlapped I/O, an event for the wake-up)
// implement it; nothing here names an OS type.
//
// Threads: one reader (the device link's ReadThread) calls Read; one writer
// at a time calls Write (the callers serialise through the ApiLock); any
// thread may call Cancel while the other two are blocked. Open, Configure,
// SetDtr, SetRts, SetLowLatency and Close run while neither Read nor Write
// is in progress (the owner stops its reader before Close). Not copyable;
// the destructor closes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace pdu::platform {

class SerialPort {
 public:
  // Outcome of Read.
  enum class ReadStatus {
    kData,       // at least one byte arrived; count holds how many
    kTimeout,    // nothing arrived within the timeout
    kCancelled,  // Cancel was called (or the port is not open)
    kFatal,      // the device is gone (hang-up, EIO, ERROR_ACCESS_DENIED):
                 // every further read would fail the same way
    kError,      // any other failure of this read; the next may succeed
  };

  // Outcome of SetDtr, SetRts and SetLowLatency.
  enum class LineStatus {
    kOk,
    kNotSupported,  // the device has no such control: no modem lines (a
                    // pseudo-terminal: ENOTTY/EINVAL, ERROR_NOT_SUPPORTED),
                    // no low-latency mode; nothing changed
    kError,
  };

  SerialPort();
  ~SerialPort();
  SerialPort(const SerialPort&) = delete;
  SerialPort& operator=(const SerialPort&) = delete;

  // Opens the device for reading and writing with exclusive access
  // ("/dev/ttyUSB0", "\\.\COM3"). Closes a port opened before. False on
  // failure (LastError / LastErrorCall tell why; Busy whether another
  // program holds the port).
  //   Linux: TIOCEXCL (no second open except by root) and an advisory
  //   flock (no second open by any program that uses this class, root
  //   included). Windows: a COM port opened without sharing.
  bool Open(const std::string& path);

  // True when the last Open failed because the port is in use.
  bool Busy() const;

  // Raw mode, 8 data bits, no parity, one stop bit, 1,500,000 baud, no
  // hardware or software flow control, DTR and RTS not driven by the
  // driver; reads return whatever has arrived. False on failure.
  bool Configure();

  // Raises (on = true) or drops DTR, RTS.
  LineStatus SetDtr(bool on);
  LineStatus SetRts(bool on);

  // Asks the driver to pass received bytes on at once (Linux:
  // ASYNC_LOW_LATENCY through TIOCGSERIAL/TIOCSSERIAL; a USB serial
  // adapter then drops its latency timer to 1 ms). kNotSupported when the
  // driver has no such mode (a pseudo-terminal; Windows, where the timer is
  // a driver setting): nothing changed.
  LineStatus SetLowLatency();

  // Writes count bytes and waits at most timeoutMs for them to be taken by
  // the driver. Returns the number of bytes written (count on success).
  size_t Write(const uint8_t* data, size_t count, uint32_t timeoutMs);

  // Blocks until bytes arrive, timeoutMs passes or Cancel is called, then
  // copies at most capacity bytes to buf and stores their number in count
  // (0 unless kData). A Cancel stays in force until the next Open, so a
  // Cancel that comes before the reader enters Read still stops it.
  ReadStatus Read(uint8_t* buf, size_t capacity, size_t& count, uint32_t timeoutMs);

  // Wakes a blocked Read and Write at once; from any thread. Never blocks.
  void Cancel();

  // Releases the handle. Safe when nothing is open.
  void Close();

  bool IsOpen() const;
  const std::string& Path() const;

  // OS error number (errno, GetLastError) of the last failed call and the
  // name of the OS function that failed, for log lines.
  int LastError() const;
  const char* LastErrorCall() const;

 private:
  struct Impl;  // per-OS state, defined in the implementation file
  std::unique_ptr<Impl> impl_;
};

}  // namespace pdu::platform
