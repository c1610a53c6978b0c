// The VCI's line as the hardware sees it: what the device link does to the
// modem lines and in which order, exclusive use of the port, busy ports
// and drivers without low-latency mode. Through a recording fake Transport
// and, on Linux, through the real serial port on a pseudo-terminal.
#include "device/Transport.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <vector>

#include "device/DeviceLink.h"
#include "platform/Platform.h"
#include "support/TempHome.h"
#include "support/PtyVci.h"
#include "support/TestClock.h"
#include "support/TestVci.h"
#include "support/WireCodes.h"

// The kernel's termios with the speeds in baud (asm/termbits.h cannot be
// included next to <termios.h>); TCGETS2 from <sys/ioctl.h> names it.
struct termios2 {
  tcflag_t c_iflag, c_oflag, c_cflag, c_lflag;
  cc_t c_line;
  cc_t c_cc[19];
  speed_t c_ispeed, c_ospeed;
};

namespace pdu::device {
namespace {

// What a test lets the fake line answer.
struct FakeLine {
  Transport::OpenStatus open = Transport::OpenStatus::kOk;
  Transport::LineStatus modem = Transport::LineStatus::kOk;
};

// Every call, in order, with the library's tick when it came.
struct Recording {
  std::mutex lock;
  std::vector<std::string> calls;
  std::vector<uint32_t> ticks;
  void Add(const std::string& call) {
    std::lock_guard<std::mutex> guard(lock);
    calls.push_back(call);
    ticks.push_back(platform::ClockTicks());
  }
};

class RecordingTransport final : public Transport {
 public:
  RecordingTransport(Recording& rec, FakeLine line) : rec_(rec), line_(line) {}

  OpenStatus Open(const std::string& path) override {
    rec_.Add("open " + path);
    path_ = path;
    open_ = line_.open == OpenStatus::kOk;
    return line_.open;
  }
  bool Configure() override { rec_.Add("configure"); return true; }
  LineStatus SetDtr(bool on) override { rec_.Add(on ? "DTR high" : "DTR low"); return line_.modem; }
  LineStatus SetRts(bool on) override { rec_.Add(on ? "RTS high" : "RTS low"); return line_.modem; }
  LineStatus SetLowLatency() override { rec_.Add("low latency"); return LineStatus::kOk; }
  size_t Write(const uint8_t*, size_t count, uint32_t) override { return count; }
  // No receive thread runs in these tests: nothing reads.
  ReadStatus Read(uint8_t*, size_t, size_t& count, uint32_t) override { count = 0; return ReadStatus::kCancelled; }
  void Cancel() override {}
  void Close() override {
    if (open_) rec_.Add("close");
    open_ = false;
  }
  bool IsOpen() const override { return open_; }
  const std::string& Path() const override { return path_; }
  int LastError() const override { return 0; }
  const char* LastErrorCall() const override { return ""; }

 private:
  Recording& rec_;
  FakeLine line_;
  std::string path_;
  bool open_ = false;
};

// Installs the fake for the test's lifetime.
class FakeFactory {
 public:
  FakeFactory(Recording& rec, FakeLine line) {
    SetTransportFactory([&rec, line] { return std::make_unique<RecordingTransport>(rec, line); });
  }
  ~FakeFactory() { SetTransportFactory(nullptr); }
};

// Low before and again after the line settings (a driver may raise both
// when the speed leaves B0), then the pulse on DTR alone, 50 ms (on the
// library's clock; pauses cost no real time here). A line without modem
// lines is configured without them.
TEST(TransportSeam, ModemLinesGoLowAroundConfigurationAndDtrPulses50Ms) {
  struct Case { Transport::LineStatus modem; std::vector<std::string> calls; };
  const Case cases[] = {
      {Transport::LineStatus::kOk, {"open /dev/ttyUSB7", "DTR low", "RTS low", "configure", "low latency", "DTR low",
                                    "RTS low", "DTR high", "DTR low"}},
      {Transport::LineStatus::kNotSupported, {"open /dev/ttyUSB7", "DTR low", "configure", "low latency"}},
  };
  for (const Case& c : cases) {
    test::ManualClock clock;
    clock.SetInstantPauses(true);
    Recording rec;
    FakeFactory fake(rec, FakeLine{Transport::OpenStatus::kOk, c.modem});
    DeviceLink link;
    ASSERT_TRUE(link.OpenPortPath("/dev/ttyUSB7"));
    ASSERT_EQ(rec.calls, c.calls);
    if (c.calls.size() == 9) {
      EXPECT_EQ(rec.ticks[8] - rec.ticks[7], 50u);
    }
    link.ClosePort();
    EXPECT_EQ(rec.calls.back(), "close");
  }
}

// Every port that cannot be used gets the same 100 ms before the next one
// is tried (on the library's clock; pauses cost no real time here). Failing
// modem lines close the port again.
TEST(TransportSeam, EveryUnusablePortIsFollowedBy100MsPause) {
  struct Case {
    const char* what;
    FakeLine line;
    std::vector<std::string> calls;  // for the first port
  };
  const Case cases[] = {
      {"busy", FakeLine{Transport::OpenStatus::kBusy}, {"open /dev/ttyUSB0"}},
      {"open failed", FakeLine{Transport::OpenStatus::kFailed}, {"open /dev/ttyUSB0"}},
      {"modem lines failed", FakeLine{Transport::OpenStatus::kOk, Transport::LineStatus::kError},
       {"open /dev/ttyUSB0", "DTR low", "close"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Recording rec;
    {
      test::ManualClock clock;  // only the pauses move it
      clock.SetInstantPauses(true);
      FakeFactory fake(rec, c.line);
      test::ScopedPorts ports({"/dev/ttyUSB0", "/dev/ttyUSB1"});
      DeviceLink link;
      EXPECT_FALSE(link.OpenPort());
    }
    const size_t n = c.calls.size();
    ASSERT_EQ(rec.calls.size(), 2 * n);
    EXPECT_EQ(std::vector<std::string>(rec.calls.begin(), rec.calls.begin() + n), c.calls);
    EXPECT_EQ(rec.ticks[n] - rec.ticks[n - 1], 100u);
  }
}

// (A driver without low-latency mode, logged once: the golden prologue,
// whose in-memory line has none.)

// ---- the real serial port on Linux --------------------------------------

// Runs fn in a child process and returns its exit status (or -1).
template <typename Fn>
int InChild(Fn fn) {
  const pid_t pid = ::fork();
  if (pid == 0) ::_exit(fn());
  int status = 0;
  if (pid < 0 || ::waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return -1;
  return WEXITSTATUS(status);
}

TEST(SerialTransport, SecondProcessCannotOpenThePortTheModuleHolds) {
  test::PtyVci vci;
  vci.SetSilent(true);
  std::unique_ptr<Transport> port = MakeSerialTransport();
  ASSERT_EQ(port->Open(vci.Path()), Transport::OpenStatus::kOk);
  const std::string path = vci.Path();

  // Another program using this library: refused as busy, root or not.
  const int viaLibrary = InChild([&path] {
    std::unique_ptr<Transport> other = MakeSerialTransport();
    const Transport::OpenStatus s = other->Open(path);
    return s == Transport::OpenStatus::kBusy ? 10 : s == Transport::OpenStatus::kOk ? 11 : 12;
  });
  EXPECT_EQ(viaLibrary, 10) << "10 busy, 11 opened, 12 failed otherwise";

  // Any other program without root: the tty refuses the open (EBUSY).
  // Run as root, the child gives its privileges up first.
  if (::geteuid() == 0) {
    ASSERT_EQ(::chmod(path.c_str(), 0666), 0);
  }
  const int plainOpen = InChild([&path] {
    if (::geteuid() == 0 && (::setgid(65534) != 0 || ::setuid(65534) != 0)) return 20;
    const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd >= 0) return 21;
    return errno == EBUSY ? 22 : 23;
  });
  EXPECT_EQ(plainOpen, 22) << "20 setuid failed, 21 opened, 22 EBUSY, 23 other error";

  // Closed, the port is free again.
  port->Close();
  const int afterClose = InChild([&path] {
    std::unique_ptr<Transport> other = MakeSerialTransport();
    return other->Open(path) == Transport::OpenStatus::kOk ? 30 : 31;
  });
  EXPECT_EQ(afterClose, 30);
}

TEST(SerialTransport, DiscoverySkipsAPortAnotherProgramHoldsAndSaysSo) {
  test::TempHome home;
  home.StartLog();
  test::PtyVci vci;  // answers the probe, but is held by someone else
  {
    std::unique_ptr<Transport> holder = MakeSerialTransport();
    ASSERT_EQ(holder->Open(vci.Path()), Transport::OpenStatus::kOk);
    test::ScopedPorts ports({vci.Path()});
    DeviceLink link;
    EXPECT_FALSE(link.OpenPort());
    EXPECT_TRUE(vci.FramesWithCommand(test::kCmdProbe).empty());
  }
  const std::string main = test::TempHome::ClosedMainLog();
  // The holder's exclusive mode refuses a user's open (EBUSY); root passes
  // it, and then the holder's lock refuses (EWOULDBLOCK).
  const std::string why = ::geteuid() == 0 ? "(flock error 11)" : "(open error 16)";
  EXPECT_NE(main.find("port " + vci.Path() + " skipped: busy, another program holds it " + why + "\n"),
            std::string::npos)
      << main;
}

TEST(SerialTransport, PseudoTerminalHasNoModemLinesAndNoLowLatencyMode) {
  test::PtyVci vci;
  vci.SetSilent(true);
  std::unique_ptr<Transport> port = MakeSerialTransport();
  ASSERT_EQ(port->Open(vci.Path()), Transport::OpenStatus::kOk);
  EXPECT_EQ(port->SetDtr(false), Transport::LineStatus::kNotSupported);
  EXPECT_EQ(port->SetRts(false), Transport::LineStatus::kNotSupported);
  EXPECT_TRUE(port->Configure());
  EXPECT_EQ(port->SetLowLatency(), Transport::LineStatus::kNotSupported);
  EXPECT_STREQ(port->LastErrorCall(), "ioctl(TIOCGSERIAL)");
}

// The line settings the VCI needs, read back through the pseudo-terminal's
// master side (which reports the slave's settings): 1,500,000 baud both
// ways, 8 data bits, no parity, one stop bit, no flow control, raw, and
// reads that return what is there.
TEST(SerialTransport, ConfigureSets1500000Baud8N1Raw) {
  const int master = posix_openpt(O_RDWR | O_NOCTTY);
  ASSERT_GE(master, 0);
  ASSERT_EQ(grantpt(master), 0);
  ASSERT_EQ(unlockpt(master), 0);
  std::unique_ptr<Transport> port = MakeSerialTransport();
  ASSERT_EQ(port->Open(ptsname(master)), Transport::OpenStatus::kOk);
  ASSERT_TRUE(port->Configure());
  termios2 tio{};
  ASSERT_EQ(ioctl(master, TCGETS2, &tio), 0);
  EXPECT_EQ(tio.c_ospeed, 1500000u);
  EXPECT_EQ(tio.c_ispeed, 1500000u);
  EXPECT_EQ(tio.c_cflag & (CSIZE | PARENB | CSTOPB | CRTSCTS | CREAD | CLOCAL), tcflag_t{CS8 | CREAD | CLOCAL});
  EXPECT_EQ(tio.c_iflag & (ICRNL | IXON | IXOFF | ISTRIP), 0u);
  EXPECT_EQ(tio.c_oflag & OPOST, 0u);
  EXPECT_EQ(tio.c_lflag & (ECHO | ICANON | ISIG | IEXTEN), 0u);
  EXPECT_EQ(tio.c_cc[VMIN], 0);
  EXPECT_EQ(tio.c_cc[VTIME], 0);
  port->Close();
  close(master);
}

}  // namespace
}  // namespace pdu::device
