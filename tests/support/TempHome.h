// A throw-away application folder for one test: PDU7318_HOME points at it,
// PDU7318_LOG_PATH at a logs folder inside it. Removed with everything in it
// when the object goes.
#pragma once

#include <string>

namespace pdu::test {

class TempHome {
 public:
  TempHome();
  ~TempHome();
  TempHome(const TempHome&) = delete;
  TempHome& operator=(const TempHome&) = delete;

  const std::string& path() const { return path_; }   // ends in the path separator
  std::string logFolder() const;                       // likewise

  // Writes a file into the folder (name relative to it).
  void Write(const std::string& name, const std::string& content) const;
  // config.ini with [LOG] open=<value>.
  void SetLogSwitch(const std::string& value) const;
  // Switches logging on and opens the logs, as a construction would.
  void StartLog() const;
  // Closes the logs and gives the main log's text.
  static std::string ClosedMainLog();
  // Copies a file of the build's application folder (<build>/data, with
  // the generated PDUAPI_7318.ini) into the folder.
  void CopyData(const std::string& name) const;

 private:
  std::string path_;
};

// The whole content of a text file ("" when it does not exist), line ends
// as the C library's text mode gives them ("\n").
std::string ReadFile(const std::string& path);
bool FileExists(const std::string& path);

}  // namespace pdu::test
