// Fuzz target: the DeviceLink's receive path. The input is a script of what
// the VCI sends and what the library's threads do meanwhile:
//
//   repeat:  op byte
//     op % 6 == 0, 1     a chunk: one length byte k, then k bytes (or the
//                        rest), handed to OnReceive as ReadThread would
//     op % 6 == 2        the same, but the chunk handed over r times
//                        (repeat byte r, plus 1): reaches the buffers.
//                        limits with short inputs
//     op % 6 == 3        ReceiveAnswer into a buffer of (next byte + 1) bytes
//     op % 6 == 4        ReceiveVehicleData into such a buffer
//     op % 6 == 5        DiscardAnswers
//
// Receive operations run with a zero timeout: they take what is queued and
// return at once. (ReceiveProbeAnswer shares their code but has a fixed
// 1100 ms wait, too slow for a fuzzer; ReceiveAnswer covers it.) The port is the slave side of a pseudo-terminal that
// nobody writes to; no ReadThread runs, so OnReceive sees only the input.
//
// Checks: a receive never reports more bytes than the caller's buffer
// holds (AddressSanitizer guards the buffer itself with a heap allocation
// of exactly that size) and the raw buffer never holds more than its size.
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <memory>
#include <new>
#include <vector>

#include "FuzzSupport.h"
#include "device/DeviceLink.h"

using pdu::device::DeviceLink;

namespace {

// The pseudo-terminal whose slave path every DeviceLink opens.
const std::string& SlavePath() {
  static const std::string path = [] {
    const int master = posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) abort();
    const char* name = ptsname(master);
    if (name == nullptr) abort();
    return std::string(name);  // the master stays open for the process's life
  }();
  return path;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  pdu::fuzz::FuzzHome();
  // A fresh link per input keeps runs reproducible. It is built in place in
  // static storage: a heap allocation of its half megabyte per input would
  // cost more than the input itself (mmap, page faults).
  alignas(DeviceLink) static unsigned char storage[sizeof(DeviceLink)];
  struct Destroy {
    void operator()(DeviceLink* p) const { p->~DeviceLink(); }
  };
  std::unique_ptr<DeviceLink, Destroy> link(new (storage) DeviceLink());
  if (!link->OpenPortPath(SlavePath())) abort();

  pdu::fuzz::InputReader in(data, size);
  while (!in.Empty()) {
    const uint8_t op = in.Byte();
    switch (op % 6) {
      case 0:
      case 1:
      case 2: {
        const uint32_t times = op % 6 == 2 ? in.Byte() + 1u : 1u;
        const uint8_t* chunk = nullptr;
        const size_t n = in.Take(in.Byte(), &chunk);
        for (uint32_t i = 0; i < times; ++i) {
          link->OnReceive(chunk, static_cast<uint32_t>(n));
          FUZZ_CHECK(link->CurSaveOff() <= DeviceLink::kRecvBufferSize);
        }
        break;
      }
      case 3:
      case 4: {
        const uint32_t capacity = in.Byte() + 1u;
        std::vector<uint8_t> out(capacity);
        const uint32_t got = op % 6 == 3 ? link->ReceiveAnswer(out.data(), capacity, 0)
                                         : link->ReceiveVehicleData(out.data(), capacity, 0);
        FUZZ_CHECK(got <= capacity);
        break;
      }
      case 5:
        link->DiscardAnswers();
        FUZZ_CHECK(link->CurSaveOff() == 0);
        break;
    }
  }
  return 0;
}
