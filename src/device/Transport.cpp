// The serial port behind the Transport interface, and the factory that
// gives every DeviceLink its Transport.
#include "device/Transport.h"

#include <mutex>
#include <new>
#include <utility>

#include "platform/SerialPort.h"

namespace pdu::device {
namespace {

using platform::SerialPort;

Transport::LineStatus Line(SerialPort::LineStatus s) {
  switch (s) {
    case SerialPort::LineStatus::kOk:
      return Transport::LineStatus::kOk;
    case SerialPort::LineStatus::kNotSupported:
      return Transport::LineStatus::kNotSupported;
    case SerialPort::LineStatus::kError:
      break;
  }
  return Transport::LineStatus::kError;
}

class SerialTransport final : public Transport {
 public:
  OpenStatus Open(const std::string& path) override {
    if (port_.Open(path)) return OpenStatus::kOk;
    return port_.Busy() ? OpenStatus::kBusy : OpenStatus::kFailed;
  }
  bool Configure() override { return port_.Configure(); }
  LineStatus SetDtr(bool on) override { return Line(port_.SetDtr(on)); }
  LineStatus SetRts(bool on) override { return Line(port_.SetRts(on)); }
  LineStatus SetLowLatency() override { return Line(port_.SetLowLatency()); }
  size_t Write(const uint8_t* data, size_t count, uint32_t timeoutMs) override {
    return port_.Write(data, count, timeoutMs);
  }
  ReadStatus Read(uint8_t* buf, size_t capacity, size_t& count, uint32_t timeoutMs) override {
    switch (port_.Read(buf, capacity, count, timeoutMs)) {
      case SerialPort::ReadStatus::kData:
        return ReadStatus::kData;
      case SerialPort::ReadStatus::kTimeout:
        return ReadStatus::kTimeout;
      case SerialPort::ReadStatus::kCancelled:
        return ReadStatus::kCancelled;
      case SerialPort::ReadStatus::kFatal:
        return ReadStatus::kFatal;
      case SerialPort::ReadStatus::kError:
        break;
    }
    return ReadStatus::kError;
  }
  void Cancel() override { port_.Cancel(); }
  void Close() override { port_.Close(); }
  bool IsOpen() const override { return port_.IsOpen(); }
  const std::string& Path() const override { return port_.Path(); }
  int LastError() const override { return port_.LastError(); }
  const char* LastErrorCall() const override { return port_.LastErrorCall(); }

 private:
  SerialPort port_;
};

// Never destroyed: a PDUConstruct from an application's exit handler may run
// after the C++ exit sequence has destroyed the library's static objects.
// They live in the library's static storage rather than on the heap, so a
// library unloaded by dlclose leaves no allocation behind.
std::mutex g_FactoryLock;
template <class T>
T& NeverDestroyed() {
  alignas(T) static unsigned char storage[sizeof(T)];
  static T* const object = new (storage) T();
  return *object;
}
TransportFactory& Factory() { return NeverDestroyed<TransportFactory>(); }
PortLister& Lister() { return NeverDestroyed<PortLister>(); }

}  // namespace

void SetPortLister(PortLister lister) {
  std::lock_guard<std::mutex> lock(g_FactoryLock);
  Lister() = std::move(lister);
}

bool ListOverridePorts(std::vector<std::string>& ports) {
  PortLister lister;
  {
    std::lock_guard<std::mutex> lock(g_FactoryLock);
    lister = Lister();
  }
  if (!lister) return false;
  ports.clear();
  lister(ports);
  return true;
}

std::unique_ptr<Transport> MakeSerialTransport() { return std::make_unique<SerialTransport>(); }

void SetTransportFactory(TransportFactory factory) {
  std::lock_guard<std::mutex> lock(g_FactoryLock);
  Factory() = std::move(factory);
}

std::unique_ptr<Transport> MakeTransport() {
  TransportFactory factory;
  {
    std::lock_guard<std::mutex> lock(g_FactoryLock);
    factory = Factory();
  }
  std::unique_ptr<Transport> made = factory ? factory() : nullptr;
  return made ? std::move(made) : MakeSerialTransport();
}

std::string CallError(const char* call, int error) { return std::string(call) + " error " + std::to_string(error); }

}  // namespace pdu::device
