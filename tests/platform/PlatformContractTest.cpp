// The contract of platform/Platform.h, run against the implementation of
// the OS the tests are built for (Linux natively, Windows under Wine), so
// that both behave alike where the library depends on it.
#include "platform/Platform.h"

#include <algorithm>
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "support/TempHome.h"

namespace pdu::platform {
namespace {

using test::TempHome;

// The private-profile readers, on one file with the cases the library meets
// in config.ini and PDUAPI_7318.ini.
class IniRead : public ::testing::Test {
 protected:
  void SetUp() override {
    file_ = home_.path() + "test.ini";
    home_.Write("test.ini",
                "; a comment line\n"
                "[LOG]\n"
                "open=1\n"
                "spaced = value with blanks  \n"
                "empty=\n"
                "quoted=\" 1\"\n"
                "long=" + std::string(300, 'x') + "\n"
                "  indented = 7 ;not a comment\n"
                "twice=first\n"
                "twice=second\n"
                "noequals\n"
                "\n"
                "[MVCI_VERSION]\n"
                "HWVersion=5\n"
                "HwDate=20240131abc\n"
                "HwName=QDM7318\n"
                "Negative=-12\n"
                "NoDigits=abc\n"
                "Blanks=  42\n"
                "Empty=\n"
                "[Other]\n"
                "open=0\n"
                "[log]\n"
                "later=only the first section of a name is read\n");
  }

  TempHome home_;
  std::string file_;
};

TEST_F(IniRead, StringsComeBackTrimmedAndUnquotedOrAsTheDefault) {
  struct Case { const char* section; const char* key; std::string expected; };
  const Case cases[] = {
      {"LOG", "open", "1"},
      {"LOG", "spaced", "value with blanks"},
      {"LOG", "empty", ""},  // present but empty: not the default
      {"LOG", "quoted", " 1"}, {"LOG", "indented", "7 ;not a comment"}, {"LOG", "twice", "first"},
      {"Other", "open", "0"},  // same key, other section
      {"MVCI_VERSION", "HwName", "QDM7318"},
      {"log", "OPEN", "1"},  // names ignore case
      {"LOG", "long", std::string(259, 'x')},  // values are cut at 259
      {"LOG", "close", "default"},
      {"LOG", "noequals", "default"},
      {"LOG", "later", "default"},  // only the first section of a name
      {"NOSECTION", "open", "default"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ReadIniString(file_, c.section, c.key, "default"), c.expected)
        << c.section << "/" << c.key;
  }
  EXPECT_EQ(ReadIniString(home_.path() + "missing.ini", "LOG", "open", ""), "");
  EXPECT_EQ(ReadIniInt(file_, "MVCI_VERSION", "FWDate", 7), 7);
  EXPECT_EQ(ReadIniInt(file_, "mvci_version", "hwversion", 0), 5);
  EXPECT_EQ(ReadIniInt(home_.path() + "missing.ini", "MVCI_VERSION", "HWVersion", 0), 0);
}

TEST_F(IniRead, IntegersAreTheLeadingDecimalDigits) {
  struct Case { const char* key; int expected; };
  const Case cases[] = {
      {"HWVersion", 5},
      {"HwDate", 20240131},  // digits up to the first non-digit
      {"Negative", -12},
      {"NoDigits", 0},  // present without digits: 0, not the default
      {"Blanks", 42},
      {"Empty", 99},  // present but empty: the default
  };
  for (const Case& c : cases) EXPECT_EQ(ReadIniInt(file_, "MVCI_VERSION", c.key, 99), c.expected) << c.key;
}

TEST(Folders, CreatedWithEveryMissingParent) {
  TempHome home;
  const std::string sep = PathSeparator();
  const std::string deep = home.path() + "a" + sep + "b" + sep + "c" + sep;
  EXPECT_TRUE(CreateFolderWithParents(deep));
  EXPECT_TRUE(std::filesystem::is_directory(deep));
  EXPECT_TRUE(CreateFolderWithParents(deep)) << "an existing folder is no error";
  EXPECT_TRUE(CreateFolderWithParents(home.path() + "a")) << "without a trailing separator";
}

TEST(Folders, AFileInTheWayFails) {
  TempHome home;
  home.Write("plain", "x");
  EXPECT_FALSE(CreateFolderWithParents(home.path() + "plain"));
  EXPECT_FALSE(CreateFolderWithParents(home.path() + "plain" + PathSeparator() + "sub"));
}

TEST(Folders, ApplicationFolderFollowsTheHomeOverride) {
  TempHome home;
  EXPECT_EQ(AppFolder(), home.path());
  SetEnvValue("PDU7318_HOME", home.path() + "inner");  // no trailing separator
  EXPECT_EQ(AppFolder(), home.path() + "inner" + PathSeparator());
}

TEST(Files, Utf8NamesOpenAsTheFileSystemNamesThem) {
  TempHome home;
  // "Prüfstand-测试.txt": a name outside every ANSI code page at once.
  const std::string name = "Pr\xC3\xBC" "fstand-\xE6\xB5\x8B\xE8\xAF\x95.txt";
  FILE* f = OpenStdioFile(home.path() + name, "a+");
  ASSERT_NE(f, nullptr);
  std::fputs("line\n", f);
  std::fclose(f);
  const auto path = std::filesystem::u8path(home.path() + name);
  std::ifstream in(path);
  std::string text;
  std::getline(in, text);
  EXPECT_EQ(text, "line");
}

// (SetEnvValue and ClearEnvValue: every TempHome, in every test program.)

TEST(Clock, TickCountAndMicrosAdvanceWithSleep) {
  const uint32_t tick0 = GetTickCount();
  const uint64_t us0 = MonotonicMicros();
  SleepMs(30);
  const uint64_t us1 = MonotonicMicros();
  const uint32_t tick1 = GetTickCount();
  EXPECT_GE(us1 - us0, 30000u) << "SleepMs waits at least as long as asked";
  EXPECT_LT(us1 - us0, 2000000u);
  // The tick counter may have a coarse step (about 16 ms on Windows).
  EXPECT_GE(static_cast<uint32_t>(tick1 - tick0), 14u);
  EXPECT_LT(static_cast<uint32_t>(tick1 - tick0), 2000u);
}

TEST(Clock, NeverRunsBackwards) {
  uint64_t last = MonotonicMicros();
  uint32_t lastTick = GetTickCount();
  for (int i = 0; i < 100000; ++i) {
    const uint64_t now = MonotonicMicros();
    const uint32_t tick = GetTickCount();
    ASSERT_GE(now, last);
    ASSERT_LT(static_cast<uint32_t>(tick - lastTick), 0x80000000u);
    last = now;
    lastTick = tick;
  }
}

TEST(Clock, SleepingCostsNoCpu) {
  const uint64_t cpu0 = ThreadCpuMicros();
  SleepMs(200);
  EXPECT_LT(ThreadCpuMicros() - cpu0, 50000u);
  // And spinning does move the measure (within seconds even on a busy
  // machine), so that it means something. The largest single step seen
  // while spinning is the clock's CPU-time granule: nanoseconds on Linux,
  // a scheduler tick (10 to 16 ms) on Windows and under Wine.
  const uint64_t spinStart = MonotonicMicros(), cpu1 = ThreadCpuMicros();
  uint64_t last = cpu1, granule = 0;
  while (last - cpu1 < 30000 && MonotonicMicros() - spinStart < 5000000) {
    const uint64_t now = ThreadCpuMicros();
    granule = std::max(granule, now - last);
    last = now;
  }
  EXPECT_GE(last - cpu1, 30000u);
  // The process's time includes its threads' time, but the two are counted
  // separately, each in whole granules, and may be updated on different
  // ticks: the process may trail by up to two granules (seen under Wine:
  // process 100 ms while its only busy thread shows 110 ms). The thread is
  // read first so that time spent between the two reads only helps.
  const uint64_t thread = ThreadCpuMicros(), process = ProcessCpuMicros();
  EXPECT_GE(process + 2 * granule, thread) << "granule " << granule << " us";
  EXPECT_LE(granule, 20000u) << "a CPU-time step coarser than any scheduler tick";
}

TEST(Process, ExecutablePathNamesThisTestProgram) {
  const std::string exe = ExecutablePath();
  EXPECT_NE(exe.find("test_platform"), std::string::npos) << exe;
  EXPECT_TRUE(std::filesystem::exists(std::filesystem::u8path(exe))) << exe;
}

TEST(Dates, StampIsYearMonthDay) {
  const std::string d = LocalDateStamp();
  ASSERT_EQ(d.size(), 10u) << d;
  for (size_t i = 0; i < d.size(); ++i) {
    if (i == 4 || i == 7) {
      EXPECT_EQ(d[i], '-') << d;
    } else {
      EXPECT_TRUE(d[i] >= '0' && d[i] <= '9') << d;
    }
  }
  EXPECT_GE(std::atoi(d.c_str()), 2000);
}

}  // namespace
}  // namespace pdu::platform
