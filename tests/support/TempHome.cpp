#include "support/TempHome.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace pdu::test {

TempHome::TempHome() {
  std::string tmpl = (std::filesystem::temp_directory_path() / "pdu7318-XXXXXX").string();
  if (mkdtemp(tmpl.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = tmpl + "/";
  setenv("PDU7318_HOME", path_.c_str(), 1);
  setenv("PDU7318_LOG_PATH", (path_ + "logs").c_str(), 1);
}

TempHome::~TempHome() {
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
  unsetenv("PDU7318_HOME");
  unsetenv("PDU7318_LOG_PATH");
}

void TempHome::Write(const std::string& name, const std::string& content) const {
  std::ofstream(path_ + name, std::ios::binary) << content;
}

void TempHome::SetLogSwitch(const std::string& value) const {
  Write("config.ini", "[LOG]\nopen=" + value + "\n");
}

void TempHome::CopyData(const std::string& name) const {
  Write(name, ReadFile(std::string(PDU7318_SOURCE_DIR) + "/data/" + name));
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

bool FileExists(const std::string& path) { return std::filesystem::exists(path); }

}  // namespace pdu::test
