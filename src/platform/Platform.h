// The operating system, as the rest of the library sees it.
//
// One declaration per service; posix/Platform.cpp and win32/Platform.cpp
// implement them and CMake compiles exactly one of the two. Nothing here
// knows of D-PDU types: texts are UTF-8 std::strings, times are
// milliseconds. Every function may be called from any thread.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace pdu::platform {

// Milliseconds since an arbitrary start, monotonic, wrapping at 2^32, as
// GetTickCount reports it. Log lines and event time stamps carry it.
uint32_t GetTickCount();

// A monotonic clock with microsecond resolution, for measuring waits.
uint64_t MonotonicMicros();

// Blocks the calling thread for at least ms milliseconds.
void SleepMs(uint32_t ms);

// CPU time consumed by the calling thread so far, in microseconds. Tests
// and benchmarks use it to prove that waiting threads do not spin.
uint64_t ThreadCpuMicros();

// CPU time consumed by the whole process so far, in microseconds.
uint64_t ProcessCpuMicros();

// Raises the calling thread's scheduling priority one step above normal,
// as far as the OS allows without privileges: Windows
// THREAD_PRIORITY_ABOVE_NORMAL; Linux a nice value 5 below the process's
// for this thread only (needs CAP_SYS_NICE or a RLIMIT_NICE that allows
// it). False when refused; error and call then tell why.
bool RaiseThreadPriority(int& error, const char*& call);

// Full path of the executable of the host process ("" when unknown).
std::string ExecutablePath();

// The application folder that holds MDF.xml, config.ini and
// PDUAPI_7318.ini, always ending in the path separator.
//   Windows: C:\ProgramData\Brenlo\Apps\7318\ (fixed)
//   Linux:   $PDU7318_HOME, default /etc/brenlo/7318
std::string AppFolder();

// The path separator of the platform ("\\" or "/").
const char* PathSeparator();

// Private-profile reads, as the Windows reader does them: section and key
// names compare without case, only the first section of a name counts and
// in it the first line of the key; values are trimmed, lose one pair of
// enclosing quotes and are cut to 259 characters. An absent file, section
// or key gives def. The integer reader takes the leading decimal digits
// (optionally signed) of the value and gives 0 when there are none, def
// when the key is absent or its value empty.
std::string ReadIniString(const std::string& file, const std::string& section,
                          const std::string& key, const std::string& def);
int ReadIniInt(const std::string& file, const std::string& section,
               const std::string& key, int def);

// The log folder value: the registry value `path` under
// HKEY_CURRENT_USER\SOFTWARE\Brenlo\MVCI\ on Windows, $PDU7318_LOG_PATH on
// Linux. False (out untouched) when there is none.
bool ReadLogPathValue(std::string& out);

// Creates a folder and every missing parent. An existing folder is fine.
bool CreateFolderWithParents(const std::string& path);

// std::fopen for a UTF-8 file name (on Windows the C runtime's fopen would
// read the name in the ANSI code page).
FILE* OpenStdioFile(const std::string& utf8Path, const char* mode);

// The process environment, for the test suites that point PDU7318_HOME and
// PDU7318_LOG_PATH at temporary folders. Set with an empty value is not
// portable (Windows removes the variable); use Clear.
void SetEnvValue(const std::string& name, const std::string& value);
void ClearEnvValue(const std::string& name);

// The one message the library ever shows a person (a modal box on Windows,
// one line on stderr on Linux).
void ShowMessage(const std::string& utf8Text);

// Debugger output (OutputDebugStringW on Windows, nothing on Linux).
void DebugOutput(const std::string& utf8Text);

// Today's local date as "%Y-%m-%d".
std::string LocalDateStamp();

// The serial devices that may hold the VCI, in the order to try them.
//   Windows: the SERIALCOMM device map, "\\.\COMn" names.
//   Linux:   $PDU7318_PORTS (colon-separated), else /dev/ttyUSB* and
//            /dev/ttyACM* in numeric order.
// Returns false when the map itself could not be read.
bool SerialPortCandidates(std::vector<std::string>& out);

}  // namespace pdu::platform
