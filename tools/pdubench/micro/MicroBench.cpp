// Micro-benchmarks of the pieces every frame passes through: building,
// stuffing, unstuffing and checking a frame, splitting a byte stream at
// flags (the simulator's FrameSplitter and the device link's own receive
// path), the log's hex text, and a log line while logging is off.
//
//   build/bin/pdubench_micro [--benchmark_filter=REGEX] [--benchmark_format=json]
//
// Bytes processed are counted as stuffed frame bytes, so the MB/s columns
// compare directly with the wire rate (150 kB/s at 1,500,000 baud).
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <memory>
#include <vector>

#include "device/DeviceFrame.h"
#include "device/DeviceLink.h"
#include "log/PduLog.h"

namespace {

using namespace pdu::device;

// Pseudo-random data bytes (xorshift): about one byte in 128 is a flag or
// an escape and gets stuffed.
std::vector<uint8_t> Data(size_t n, uint32_t seed = 0x2545F491) {
  std::vector<uint8_t> v(n);
  for (auto& b : v) {
    seed ^= seed << 13;
    seed ^= seed >> 17;
    seed ^= seed << 5;
    b = static_cast<uint8_t>(seed);
  }
  return v;
}

std::vector<uint8_t> Built(size_t n, uint8_t command = VCI_CMD_VEHICLE_DATA) {
  std::vector<uint8_t> data = Data(n);
  std::vector<uint8_t> frame(n + kFrameOverhead);
  frame.resize(BuildFrame(kChannelVehicle, 1, command, data.data(), n, frame.data(), frame.size()));
  return frame;
}

std::vector<uint8_t> Stuffed(size_t n, uint8_t command = VCI_CMD_VEHICLE_DATA) {
  std::vector<uint8_t> frame = Built(n, command);
  std::vector<uint8_t> out(kMaxStuffedFrame);
  out.resize(StuffFrame(frame.data(), frame.size(), out.data(), out.size()));
  return out;
}

// A stream of count stuffed vehicle-data frames with 20 to 76 data bytes.
std::vector<uint8_t> Stream(size_t count) {
  std::vector<uint8_t> stream;
  for (size_t k = 0; k < count; ++k) {
    std::vector<uint8_t> f = Stuffed(20 + (k * 37) % 57);
    stream.insert(stream.end(), f.begin(), f.end());
  }
  return stream;
}

void BM_BuildFrame(benchmark::State& state) {
  const size_t n = static_cast<size_t>(state.range(0));
  std::vector<uint8_t> data = Data(n);
  std::vector<uint8_t> out(kMaxBuiltFrame);
  for (auto _ : state) {
    benchmark::DoNotOptimize(BuildFrame(kChannelVehicle, 1, VCI_CMD_COP, data.data(), n, out.data(), out.size()));
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(n + kFrameOverhead));
}
BENCHMARK(BM_BuildFrame)->Arg(16)->Arg(256)->Arg(4096);

void BM_StuffFrame(benchmark::State& state) {
  std::vector<uint8_t> frame = Built(static_cast<size_t>(state.range(0)));
  std::vector<uint8_t> out(kMaxStuffedFrame);
  for (auto _ : state) {
    benchmark::DoNotOptimize(StuffFrame(frame.data(), frame.size(), out.data(), out.size()));
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(frame.size()));
}
BENCHMARK(BM_StuffFrame)->Arg(16)->Arg(256)->Arg(4096);

void BM_UnstuffFrame(benchmark::State& state) {
  std::vector<uint8_t> stuffed = Stuffed(static_cast<size_t>(state.range(0)));
  std::vector<uint8_t> out(kMaxBuiltFrame);
  for (auto _ : state) {
    benchmark::DoNotOptimize(UnstuffFrame(stuffed.data(), stuffed.size(), out.data(), out.size()));
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(stuffed.size()));
}
BENCHMARK(BM_UnstuffFrame)->Arg(16)->Arg(256)->Arg(4096);

void BM_CheckFrame(benchmark::State& state) {
  std::vector<uint8_t> frame = Built(static_cast<size_t>(state.range(0)));
  for (auto _ : state) benchmark::DoNotOptimize(CheckFrame(frame.data(), frame.size()));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(frame.size()));
}
BENCHMARK(BM_CheckFrame)->Arg(16)->Arg(256)->Arg(4096);

void BM_PeekStuffedCommand(benchmark::State& state) {
  std::vector<uint8_t> stuffed = Stuffed(64);
  for (auto _ : state) benchmark::DoNotOptimize(PeekStuffedCommand(stuffed.data(), stuffed.size()));
}
BENCHMARK(BM_PeekStuffedCommand);

// The simulator's and the test VCI's splitter, byte by byte.
void BM_FrameSplitter(benchmark::State& state) {
  const std::vector<uint8_t> stream = Stream(1000);
  auto splitter = std::make_unique<FrameSplitter>();
  size_t frames = 0;
  for (auto _ : state) {
    splitter->Push(stream.data(), stream.size(), [&](const uint8_t*, size_t) { ++frames; });
  }
  benchmark::DoNotOptimize(frames);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(stream.size()));
}
BENCHMARK(BM_FrameSplitter);

// The device link's receive path as the receive thread and the engine use
// it: OnReceive with chunks of the given size (split at flags, sorted into
// the vehicle-data queue), then ReceiveVehicleData until the queue is dry
// (cut, unstuff, check, copy out). The port is a pseudo-terminal that is
// only opened, never read: the benchmark itself plays the receive thread.
void BM_DeviceLinkReceive(benchmark::State& state) {
  const size_t chunk = static_cast<size_t>(state.range(0));
  const int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  char name[128];
  if (master < 0 || ::grantpt(master) != 0 || ::unlockpt(master) != 0 ||
      ::ptsname_r(master, name, sizeof name) != 0) {
    state.SkipWithError("no pseudo-terminal");
    return;
  }
  auto link = std::make_unique<DeviceLink>();
  if (!link->OpenPortPath(name)) {
    state.SkipWithError("cannot open the pseudo-terminal");
    ::close(master);
    return;
  }
  const std::vector<uint8_t> stream = Stream(1000);
  std::vector<uint8_t> out(5000);
  size_t frames = 0;
  for (auto _ : state) {
    for (size_t off = 0; off < stream.size(); off += chunk) {
      const size_t n = std::min(chunk, stream.size() - off);
      link->OnReceive(stream.data() + off, static_cast<uint32_t>(n));
      while (link->ReceiveVehicleData(out.data(), static_cast<uint32_t>(out.size()), 0) > 0) ++frames;
    }
  }
  if (frames != 1000 * static_cast<size_t>(state.iterations())) state.SkipWithError("frames lost");
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(stream.size()));
  state.counters["frames/s"] =
      benchmark::Counter(static_cast<double>(frames), benchmark::Counter::kIsRate);
  link->ClosePort();
  ::close(master);
}
BENCHMARK(BM_DeviceLinkReceive)->Arg(64)->Arg(512)->Arg(4096);

void BM_HexDump(benchmark::State& state) {
  const uint32_t n = static_cast<uint32_t>(state.range(0));
  const bool spaced = state.range(1) != 0;
  std::vector<uint8_t> data = Data(n);
  std::vector<char> text(3 * static_cast<size_t>(n) + 1);
  for (auto _ : state) {
    pdu::log::HexDump(data.data(), n, text.data(), spaced);
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * n);
}
BENCHMARK(BM_HexDump)->ArgsProduct({{16, 256, 4096}, {0, 1}})->ArgNames({"bytes", "spaced"});

// What a log line costs the hot path while logging is off.
void BM_LogMainOff(benchmark::State& state) {
  int i = 0;
  for (auto _ : state) {
    pdu::log::LogMain("recv buffer = %s m_dwCurSaveOff = %d time = %d", "7E 0A", ++i, 1234);
  }
}
BENCHMARK(BM_LogMainOff);

}  // namespace

BENCHMARK_MAIN();
