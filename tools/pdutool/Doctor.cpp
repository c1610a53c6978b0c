// pdutool doctor (Doctor.h): the checks common to every OS.
//
// A port is checked with the library's own device code, exactly as
// PDUConstruct opens it: a DeviceLink on the serial port opens it for
// exclusive use, drops DTR and RTS, configures raw 8N1 at 1,500,000 baud,
// asks for low latency and pulses DTR (DeviceLink::OpenPortPath); then the
// link's own probe runs (DeviceLink::ProbeOpenPort: the receive thread, the
// VCI's time to settle, at most two PROBE commands). A watching Transport
// between the link and the port keeps what went wrong, so that the
// doctor can say why in plain words (DoctorOs.h has the OS's words).
// The candidate ports, the application folder, the log switch and the
// log folder come from the library's platform and log code as well.
#include "Doctor.h"

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include <tinyxml.h>

#include "DoctorOs.h"
#include "HexBytes.h"
#include "device/DeviceLink.h"
#include "device/Transport.h"
#include "log/PduLog.h"
#include "platform/Platform.h"

namespace pdutool {
namespace {

using nlohmann::json;
using doctor::PortFinding;
namespace dev = pdu::device;

// What the watching Transport saw of one opening.
struct LineReport {
  dev::Transport::OpenStatus open = dev::Transport::OpenStatus::kFailed;
  int openError = 0;
  std::string openCall;
  std::string failedStep;  // "configure", "DTR", "" when nothing after Open failed
  int failedError = 0;
  std::string failedCall;
  dev::Transport::LineStatus lowLatency = dev::Transport::LineStatus::kNotSupported;
  std::atomic<size_t> bytesRead{0};
};

// The library's serial Transport with every outcome copied into a
// LineReport; it changes nothing of what the link does.
class WatchedLine final : public dev::Transport {
 public:
  explicit WatchedLine(LineReport& report) : line_(dev::MakeSerialTransport()), report_(report) {}

  OpenStatus Open(const std::string& path) override {
    report_.open = line_->Open(path);
    if (report_.open != OpenStatus::kOk) {
      report_.openError = line_->LastError();
      report_.openCall = line_->LastErrorCall();
    }
    return report_.open;
  }
  bool Configure() override { return Step("configure", line_->Configure()); }
  LineStatus SetDtr(bool on) override {
    const LineStatus s = line_->SetDtr(on);
    Step("DTR", s != LineStatus::kError);
    return s;
  }
  LineStatus SetRts(bool on) override { return line_->SetRts(on); }
  LineStatus SetLowLatency() override { return report_.lowLatency = line_->SetLowLatency(); }
  size_t Write(const uint8_t* data, size_t count, uint32_t timeoutMs) override {
    return line_->Write(data, count, timeoutMs);
  }
  ReadStatus Read(uint8_t* buf, size_t capacity, size_t& count, uint32_t timeoutMs) override {
    const ReadStatus s = line_->Read(buf, capacity, count, timeoutMs);
    if (s == ReadStatus::kData) report_.bytesRead += count;
    return s;
  }
  void Cancel() override { line_->Cancel(); }
  void Close() override { line_->Close(); }
  bool IsOpen() const override { return line_->IsOpen(); }
  const std::string& Path() const override { return line_->Path(); }
  int LastError() const override { return line_->LastError(); }
  const char* LastErrorCall() const override { return line_->LastErrorCall(); }

 private:
  bool Step(const char* step, bool ok) {
    if (!ok && report_.failedStep.empty()) {
      report_.failedStep = step;
      report_.failedError = line_->LastError();
      report_.failedCall = line_->LastErrorCall();
    }
    return ok;
  }

  std::unique_ptr<dev::Transport> line_;
  LineReport& report_;
};

// At most 64 bytes of an answer, then " ...".
std::string Hex(const uint8_t* data, uint32_t count) {
  return hexbytes::HexSpaced(data, std::min<uint32_t>(count, 64)) + (count > 64 ? " ..." : "");
}

// The line for a port that opened but did not answer; holders are the
// other programs that have it open (a getty, ModemManager probing a new
// ttyACM), which may be taking the answers.
PortFinding Silent(size_t stray, const std::vector<std::string>& holders) {
  std::string text = "opened, but no answer to the probe";
  if (!holders.empty()) {
    text += " (also open in process " + holders.front() + ", which may take the answers)";
  } else if (stray > 0) {
    text += " (" + std::to_string(stray) +
            " bytes came back that are no frame of the VCI: another device, or a wrong baud rate)";
  } else {
    text += " (is the VCI powered? it takes its power from the vehicle's diagnostic socket)";
  }
  return {"silent", text, ""};
}

PortFinding CheckPort(const std::string& path, json& entry) {
  LineReport report;
  dev::SetTransportFactory([&report] { return std::make_unique<WatchedLine>(report); });
  auto link = std::make_unique<dev::DeviceLink>();
  dev::SetTransportFactory({});
  if (!link->OpenPortPath(path)) {
    if (report.open != dev::Transport::OpenStatus::kOk) {
      return doctor::OpenFailed(path, report.open == dev::Transport::OpenStatus::kBusy, report.openError,
                                report.openCall);
    }
    const std::string why = doctor::ErrorText(report.failedCall, report.failedError);
    if (report.failedStep == "configure") return {"not-serial", "opened, but it is not a serial port (" + why + ")", ""};
    return {"error", "opened, but " + report.failedStep + " could not be set (" + why + ")", ""};
  }
  switch (report.lowLatency) {
    case dev::Transport::LineStatus::kOk:
      entry["lowLatency"] = "on";
      break;
    case dev::Transport::LineStatus::kNotSupported:
      entry["lowLatency"] = "not-offered";
      break;
    case dev::Transport::LineStatus::kError:
      entry["lowLatency"] = "failed";
      break;
  }
  uint8_t answer[1280];
  if (const uint32_t n = link->ProbeOpenPort(answer, sizeof answer); n > 0) {
    const std::string hex = Hex(answer, n);
    return {"found", "VCI found - probe answer: " + hex, hex};
  }
  const size_t stray = report.bytesRead.load();
  link.reset();  // the port closes before its holders are looked up
  return Silent(stray, doctor::OtherHolders(path));
}

// ---- folders ----------------------------------------------------------------

void CheckAppFolder(json& findings, std::vector<std::string>& lines) {
  const std::string folder = pdu::platform::AppFolder();
  const std::string mdf = folder + "MDF.xml";
  json app = {{"folder", folder}, {"mdf", mdf}};
  std::string line = "application folder " + folder + ": ";
  std::ifstream in(mdf);
  if (!in) {
    const bool exists = doctor::FileExists(mdf);
    app["state"] = exists ? "unreadable" : "missing";
    line += exists ? "MDF.xml cannot be read by this user"
                   : "MDF.xml is missing (set PDU7318_HOME or reinstall the package)";
  } else {
    std::stringstream text;
    text << in.rdbuf();
    TiXmlDocument doc;
    doc.Parse(text.str().c_str());
    const TiXmlElement* root = doc.FirstChildElement();
    if (doc.Error() || root == nullptr) {
      app["state"] = "invalid";
      line += std::string("MDF.xml cannot be loaded (") + (doc.Error() ? doc.ErrorDesc() : "no element") +
              (doc.Error() ? ", line " + std::to_string(doc.ErrorRow()) : "") + ")";
    } else {
      int resources = 0;
      for (const TiXmlElement* e = root->FirstChildElement("RESOURCE"); e != nullptr;
           e = e->NextSiblingElement("RESOURCE"))
        ++resources;
      app["state"] = "ok";
      app["resources"] = resources;
      line += "MDF.xml loaded, " + std::to_string(resources) + " resources";
    }
  }
  findings["application"] = app;
  lines.push_back(line);
}

void CheckLogFolder(json& findings, std::vector<std::string>& lines) {
  const std::string config = pdu::platform::AppFolder() + "config.ini";
  const bool on = pdu::log::LogSwitchedOn();
  // No log path value: the library logs into the current directory.
  std::string folder;
  pdu::log::GetInstallPath(folder);
  json log = {{"on", on}, {"folder", folder.empty() ? "." : folder}};
  std::string line;
  if (!on) {
    const bool exists = doctor::FileExists(config);
    log["state"] = exists ? "off" : "no-config";
    line = exists ? "log: off (" + config + " has no [LOG] open=1)"
                  : "log: off (" + config + " is missing; reinstall the package or set PDU7318_HOME)";
  } else {
    std::string where;
    const bool writable = doctor::FolderWritable(folder.empty() ? "." : folder, where);
    log["state"] = writable ? "writable" : "not-writable";
    line = "log folder " + (folder.empty() ? std::string("(the current directory)") : folder) + ": " +
           (writable ? "writable" : "NOT writable by this user (" + where + "); set PDU7318_LOG_PATH");
  }
  findings["log"] = log;
  lines.push_back(line);
}

}  // namespace

bool DoctorCheck(json& findings, FILE* out) {
  std::vector<std::string> lines;
  CheckAppFolder(findings, lines);
  CheckLogFolder(findings, lines);
  const std::string source = doctor::PortSource();
  std::vector<std::string> ports;
  dev::FindSerialPorts(ports);
  findings["portSource"] = source;
  const std::vector<std::string> settings = doctor::SettingsRead();
  findings["settingsRead"] = settings;
  for (const std::string& s : settings) lines.push_back("read " + s);
  lines.push_back("ports (" + source + "): " + (ports.empty() ? "none" : std::to_string(ports.size())));
  if (out != nullptr) {
    for (const std::string& l : lines) std::fprintf(out, "%s\n", l.c_str());
    std::fflush(out);
  }
  json list = json::array();
  bool found = false;
  for (const std::string& port : ports) {
    json entry = {{"port", port}};
    const PortFinding f = CheckPort(port, entry);
    entry["state"] = f.state;
    entry["text"] = f.text;
    if (!f.answer.empty()) entry["answer"] = f.answer;
    if (f.state == "busy") {
      // "25115 (pdutool)": for a caller that names the holder itself.
      json holders = json::array();
      for (const std::string& h : doctor::OtherHolders(port)) {
        const size_t open = h.find(" (");
        json one = {{"pid", std::strtol(h.c_str(), nullptr, 10)}};
        if (open != std::string::npos && h.back() == ')') one["name"] = h.substr(open + 2, h.size() - open - 3);
        holders.push_back(one);
      }
      entry["holders"] = holders;
    }
    list.push_back(entry);
    if (out != nullptr) {
      std::fprintf(out, "  %s: %s\n", port.c_str(), f.text.c_str());
      std::fflush(out);
    }
    found = found || f.state == "found";
  }
  findings["ports"] = list;
  findings["vciFound"] = found;
  if (out != nullptr) {
    if (ports.empty()) {
      std::fprintf(out, "no candidate port: %s\n", doctor::NoPortHint().c_str());
    }
    std::fprintf(out, "%s\n", found ? "result: VCI found" : "result: no VCI answered");
    if (findings["application"]["state"] != "ok") {
      std::fprintf(out, "result: the module description %s is %s: the library knows no resource\n",
                   findings["application"]["mdf"].get<std::string>().c_str(),
                   findings["application"]["state"].get<std::string>().c_str());
    }
    std::fflush(out);
  }
  return found;
}

int RunDoctor(bool jsonOut) {
  json doc = json::object();
  json findings = json::object();
  const bool found = DoctorCheck(findings, jsonOut ? nullptr : stdout);
  doc["command"] = "doctor";
  doc["doctor"] = findings;
  const bool mdfOk = findings["application"]["state"] == "ok";
  doc["ok"] = found && mdfOk;
  if (jsonOut) std::printf("%s\n", doc.dump(2, ' ', false, json::error_handler_t::replace).c_str());
  if (!found) return kExitNoVci;
  return mdfOk ? 0 : kExitBadMdf;
}

}  // namespace pdutool
