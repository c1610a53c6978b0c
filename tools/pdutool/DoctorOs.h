// What pdutool doctor needs to know of the operating system beyond what
// the library's platform code offers: why a port could not be opened, in
// words a user can act on, who else has a port open, and the file checks
// of the folders. DoctorPosix.cpp and DoctorWin32.cpp implement it (with
// the DiscoveryWatch of Doctor.h); CMake compiles exactly one of the two.
#pragma once

#include <string>
#include <vector>

namespace pdutool::doctor {

struct PortFinding {
  std::string state;   // missing, denied, busy, not-serial, silent, found, error
  std::string text;    // the plain-English line
  std::string answer;  // probe answer (hex) when found
};

// Where the library takes its candidate ports from, for the header line
// ("PDU7318_PORTS", "/dev/ttyUSB* and /dev/ttyACM*", the registry key).
std::string PortSource();

// The finding for a port whose open failed: busy is the serial port's own
// verdict (another program holds it), error and call the OS error of the
// failed call.
PortFinding OpenFailed(const std::string& path, bool busy, int error, const std::string& call);

// "call: reason" for an OS error, e.g. "ioctl(TCSETS2): Inappropriate
// ioctl for device".
std::string ErrorText(const std::string& call, int error);

// Other processes that have the port open and may take the VCI's answers
// ("1234 (minicom)"). The far end of a pseudo-terminal (the simulator
// holding its master) is the device itself, not a competitor, and is not
// listed unless it also locked the port.
std::vector<std::string> OtherHolders(const std::string& path);

// What to do when no candidate port was found, in the OS's device names.
std::string NoPortHint();

// The OS settings the library reads, each as "where: value" as the doctor
// read it (the registry on Windows; nothing beyond PortSource on Linux).
std::vector<std::string> SettingsRead();

bool FileExists(const std::string& path);

// A file can be created (and is removed again) in the folder, or in the
// nearest existing parent that would hold it; where names the folder
// looked at.
bool FolderWritable(const std::string& folder, std::string& where);

}  // namespace pdutool::doctor
