// Windows-only behaviour of the platform layer: the registry values it
// reads and the COM port it opens. Built into test_platform on Windows
// (and under Wine) only.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "platform/Platform.h"
#include "platform/SerialPort.h"

namespace pdu::platform {
namespace {

// Sets a REG_SZ value for the test's lifetime and puts back what was there,
// so that running the tests on a developer's machine changes nothing.
class ScopedRegValue {
 public:
  ScopedRegValue(HKEY root, const wchar_t* subkey, const wchar_t* name, const wchar_t* data)
      : name_(name) {
    ok_ = RegCreateKeyExW(root, subkey, 0, nullptr, 0, KEY_READ | KEY_WRITE, nullptr, &key_, nullptr) == ERROR_SUCCESS;
    if (!ok_) return;
    DWORD type = 0;
    DWORD bytes = sizeof old_;
    had_ = RegQueryValueExW(key_, name, nullptr, &type, reinterpret_cast<BYTE*>(old_), &bytes) ==
               ERROR_SUCCESS &&
           type == REG_SZ;
    oldBytes_ = bytes;
    ok_ = Set(data);
  }
  ~ScopedRegValue() {
    if (key_ == nullptr) return;
    if (had_) {
      RegSetValueExW(key_, name_.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(old_), oldBytes_);
    } else {
      RegDeleteValueW(key_, name_.c_str());
    }
    RegCloseKey(key_);
  }
  ScopedRegValue(const ScopedRegValue&) = delete;
  ScopedRegValue& operator=(const ScopedRegValue&) = delete;

  bool ok() const { return ok_; }
  bool Set(const wchar_t* data) {
    const DWORD bytes = static_cast<DWORD>((wcslen(data) + 1) * sizeof(wchar_t));
    return RegSetValueExW(key_, name_.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(data), bytes) == ERROR_SUCCESS;
  }
  void Delete() { RegDeleteValueW(key_, name_.c_str()); }

 private:
  HKEY key_ = nullptr;
  std::wstring name_;
  bool ok_ = false, had_ = false;
  wchar_t old_[1024] = {};
  DWORD oldBytes_ = 0;
};

constexpr wchar_t kLogKey[] = L"SOFTWARE\\Brenlo\\MVCI";
constexpr wchar_t kSerialMap[] = L"HARDWARE\\DEVICEMAP\\SERIALCOMM";

TEST(WindowsRegistry, LogFolderValueIsReadFromTheCurrentUser) {
  ClearEnvValue("PDU7318_LOG_PATH");
  ScopedRegValue value(HKEY_CURRENT_USER, kLogKey, L"path", L"D:\\Tools");
  ASSERT_TRUE(value.ok());
  std::string out;
  ASSERT_TRUE(ReadLogPathValue(out));
  EXPECT_EQ(out, "D:\\Tools");

  // A non-ASCII folder comes back as UTF-8.
  ASSERT_TRUE(value.Set(L"C:\\\u65e5\u5fd7"));
  ASSERT_TRUE(ReadLogPathValue(out));
  EXPECT_EQ(out, "C:\\\xE6\x97\xA5\xE5\xBF\x97");

  value.Delete();
  out = "untouched";
  EXPECT_FALSE(ReadLogPathValue(out));
  EXPECT_EQ(out, "untouched");
}

TEST(WindowsRegistry, LogFolderOverrideWinsOverTheRegistry) {
  ScopedRegValue value(HKEY_CURRENT_USER, kLogKey, L"path", L"D:\\Tools");
  ASSERT_TRUE(value.ok());
  SetEnvValue("PDU7318_LOG_PATH", "E:\\Elsewhere");
  std::string out;
  ASSERT_TRUE(ReadLogPathValue(out));
  EXPECT_EQ(out, "E:\\Elsewhere");
  ClearEnvValue("PDU7318_LOG_PATH");
}

TEST(WindowsRegistry, ApplicationFolderIsFixedWithoutOverride) {
  ClearEnvValue("PDU7318_HOME");
  EXPECT_EQ(AppFolder(), "C:\\ProgramData\\Brenlo\\Apps\\7318\\");
  EXPECT_STREQ(PathSeparator(), "\\");
}

TEST(WindowsRegistry, SerialMapYieldsSerialDevicesAsComNames) {
  // Writing HKLM needs an administrator on Windows; Wine allows it.
  ScopedRegValue serial(HKEY_LOCAL_MACHINE, kSerialMap, L"\\Device\\Serial71", L"COM12");
  if (!serial.ok()) GTEST_SKIP() << "no write access to the serial device map";
  ScopedRegValue other(HKEY_LOCAL_MACHINE, kSerialMap, L"\\Device\\VCP71", L"COM13");
  ScopedRegValue wide(HKEY_LOCAL_MACHINE, kSerialMap, L"\\Device\\Serial72", L"COM300");
  ScopedRegValue noCom(HKEY_LOCAL_MACHINE, kSerialMap, L"\\Device\\Serial73", L"LPT2");
  ASSERT_TRUE(other.ok() && wide.ok() && noCom.ok());

  std::vector<std::string> ports;
  ASSERT_TRUE(SerialPortCandidates(ports));
  auto has = [&](const char* name) { return std::find(ports.begin(), ports.end(), name) != ports.end(); };
  EXPECT_TRUE(has("\\\\.\\COM12"));
  EXPECT_FALSE(has("\\\\.\\COM13")) << "a name without Device\\Serial is skipped";
  EXPECT_TRUE(has("\\\\.\\COM44")) << "port numbers keep their low byte (300 & 0xFF)";
  EXPECT_FALSE(has("\\\\.\\COM0")) << "data without COM is skipped";
}

TEST(WindowsSerialPort, OpeningAMissingPortFailsWithTheOsError) {
  SerialPort port;
  EXPECT_FALSE(port.Open("\\\\.\\COM231"));
  EXPECT_FALSE(port.IsOpen());
  EXPECT_STREQ(port.LastErrorCall(), "CreateFileW");
  EXPECT_NE(port.LastError(), 0);

  uint8_t buf[16];
  size_t count = 7;
  EXPECT_EQ(port.Read(buf, sizeof buf, count, 10), SerialPort::ReadStatus::kCancelled);
  EXPECT_EQ(count, 0u);
  EXPECT_EQ(port.Write(buf, sizeof buf, 10), 0u);
  EXPECT_EQ(port.SetDtr(true), SerialPort::LineStatus::kError);
  port.Close();  // nothing open: no effect
}

}  // namespace
}  // namespace pdu::platform
