#include "support/TempHome.h"

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>

#include <gtest/gtest.h>

#include "engine/ModuleState.h"
#include "log/PduLog.h"
#include "platform/Platform.h"

namespace pdu::test {

namespace {

// A new, empty folder under the system's temporary folder.
std::string MakeTempFolder() {
  std::random_device random;
  for (int attempt = 0; attempt < 100; ++attempt) {
    char name[32];
    std::snprintf(name, sizeof name, "pdu7318-%08x", static_cast<unsigned>(random()));
    const std::filesystem::path p = std::filesystem::temp_directory_path() / name;
    std::error_code ec;
    if (std::filesystem::create_directory(p, ec)) return p.string();
  }
  throw std::runtime_error("cannot create a temporary folder");
}

// Every test starts from the library's state in a fresh process, so that
// a room's test binary runs all its tests in one process as each runs
// alone (this file is part of every test binary that uses the module).
class FreshModulePerTest final : public ::testing::EmptyTestEventListener {
  void OnTestStart(const ::testing::TestInfo&) override { engine::ResetModule(); }
};

[[maybe_unused]] const bool g_FreshModuleRegistered = [] {
  ::testing::UnitTest::GetInstance()->listeners().Append(new FreshModulePerTest);
  return true;
}();

}  // namespace

TempHome::TempHome() {
  path_ = MakeTempFolder() + platform::PathSeparator();
  platform::SetEnvValue("PDU7318_HOME", path_);
  platform::SetEnvValue("PDU7318_LOG_PATH", path_ + "logs");
}

TempHome::~TempHome() {
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
  platform::ClearEnvValue("PDU7318_HOME");
  platform::ClearEnvValue("PDU7318_LOG_PATH");
}

std::string TempHome::logFolder() const {
  const std::string sep = platform::PathSeparator();
  return path_ + "logs" + sep + "J2534" + sep + "7318" + sep;
}

void TempHome::Write(const std::string& name, const std::string& content) const {
  std::ofstream(path_ + name, std::ios::binary) << content;
}

void TempHome::SetLogSwitch(const std::string& value) const { Write("config.ini", "[LOG]\nopen=" + value + "\n"); }

void TempHome::StartLog() const {
  SetLogSwitch("1");
  log::LogInit();
}

std::string TempHome::ClosedMainLog() {
  log::LogCloseAll();
  return ReadFile(log::CurrentLogFileNames().main);
}

void TempHome::CopyData(const std::string& name) const {
  Write(name, ReadFile(std::string(PDU7318_DATA_DIR) + "/" + name));
}

std::string ReadFile(const std::string& path) {
  // Text mode: the library writes its logs in text mode, so a Windows log
  // line ends in CR LF on disk and reads back as the "\n" it was written as.
  std::ifstream in(path);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

bool FileExists(const std::string& path) { return std::filesystem::exists(path); }

}  // namespace pdu::test
