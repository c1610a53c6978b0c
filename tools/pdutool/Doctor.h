// pdutool doctor: why the VCI is (not) found, in plain English.
//
// It looks at everything the library needs, without constructing the API:
// the candidate ports in the library's order (PDU7318_PORTS, else
// /dev/ttyUSB* and /dev/ttyACM*), each opened, configured and probed as
// the library does it; the application folder (MDF.xml); the log folder.
// docs/hardware.md explains every line it prints.
//
// While PDUConstruct searches the ports, DiscoveryWatch prints one line per
// port on stderr, and afterwards tells whether the library holds one of
// them: when it does not, the module has no VCI and there is no point in
// waiting for any ComPrimitive.
#pragma once

#include <cstdio>
#include <memory>
#include <string>

#include <nlohmann/json.hpp>

namespace pdutool {

// Exit status of pdutool doctor and of a run that found no VCI at
// construction.
inline constexpr int kExitNoVci = 5;
// Exit status of pdutool doctor when a VCI answered but the module
// description (MDF.xml) is missing or cannot be loaded, and of a command
// that needs it then.
inline constexpr int kExitBadMdf = 6;

// pdutool doctor: text on stdout, or with json one document whose
// "doctor" object holds the findings (a busy port's entry lists its
// "holders": pid and process name). Returns 0 when a VCI answered the
// probe and MDF.xml loads, kExitNoVci without a VCI, else kExitBadMdf.
int RunDoctor(bool json);

// The checks of RunDoctor into findings (and as text lines on out unless
// out is null). True when a VCI answered.
bool DoctorCheck(nlohmann::json& findings, FILE* out);

class DiscoveryWatch {
 public:
  // Starts watching the candidate ports when library names this module
  // (other D-PDU libraries find their VCI their own way).
  explicit DiscoveryWatch(const std::string& library);
  ~DiscoveryWatch();
  DiscoveryWatch(const DiscoveryWatch&) = delete;
  DiscoveryWatch& operator=(const DiscoveryWatch&) = delete;

  // Call after PDUConstruct returned: stops watching, reports the ports
  // not yet reported, and returns true when the module was watched and
  // holds none of the candidate ports (no VCI).
  bool FinishedWithoutVci();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace pdutool
