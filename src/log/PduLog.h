// The three log files: main (API calls, ComPrimitives), data (event items)
// and contact (traffic with the VCI).
//
// Logging is on when config.ini in the application folder has
//   [LOG]
//   open=1
// (exactly "1"). The files are named after the local date of LogInit,
// "<folder><YYYY-MM-DD>.txt", "..._data.txt", "..._contact.txt", where the
// folder is the log path value followed by J2534/7318/ (empty when there is
// no value: the current directory). They are opened "a+" so that every
// construction of a day appends to the same files. Files that are open
// stay in use: a construction without destruction keeps them, whatever the
// switch, date or path say by then (those take effect at the next
// construction after a destruction).
//
// A line is exactly its formatted text plus "\n", formatted in the log's
// one buffer and written with one fwrite under the log's lock, and flushed
// at once, so the log is complete up to the last call if the host process
// dies and lines of different threads never mix. Callable from any thread,
// at any time up to the end of the process (from an atexit handler or a
// static destructor too); a line logged after the files were closed is
// dropped. The library keeps no per-thread state.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdio>
#include <cstdint>
#include <string>

// mingw-w64 checks plain `printf` formats against msvcrt's rules; its
// __MINGW_PRINTF_FORMAT names the rules of the printf actually linked.
#if defined(__MINGW_PRINTF_FORMAT)
#define PDU_PRINTF(fmt, args) __attribute__((format(__MINGW_PRINTF_FORMAT, fmt, args)))
#elif defined(__GNUC__)
#define PDU_PRINTF(fmt, args) __attribute__((format(printf, fmt, args)))
#else
#define PDU_PRINTF(fmt, args)
#endif

namespace pdu::log {

// Longest formatted line; longer lines are cut.
inline constexpr size_t kLineBufferSize = 196608;

// HexDump converts at most this many bytes; the rest is left out.
inline constexpr uint32_t kHexDumpMaxBytes = 16384;

void LogInit();
void LogCloseAll();
// In a forked child: the files are the parent's. They are dropped without
// closing and the child logs nothing until it constructs its own module.
void ForgetFilesAfterFork();

void LogMain(const char* fmt, ...) PDU_PRINTF(1, 2);
void LogContact(const char* fmt, ...) PDU_PRINTF(1, 2);
void LogData(const char* fmt, ...) PDU_PRINTF(1, 2);
// A main-log line of prefix followed by the formatted text, with the same
// capacity as every other line (for callers that take their own "...").
void LogMainV(const char* prefix, const char* fmt, va_list ap);

// True while the file is open. Callers test it before building expensive
// log text (hex dumps of whole buffers) on hot paths.
bool MainLogOn();
bool ContactLogOn();
bool DataLogOn();

// Hex text of count bytes into dst: "01 AB 00" when spaced, "01AB00" when
// not. src null or count 0 leaves dst untouched. dst must hold 3 * count
// bytes when spaced and 2 * count + 1 when not (count capped at
// kHexDumpMaxBytes).
void HexDump(const uint8_t* src, uint32_t count, char* dst, bool spaced);

// The same as a string, for callers that do not keep a buffer.
std::string HexString(const uint8_t* src, uint32_t count, bool spaced);

// Today's local date, "%Y-%m-%d".
std::string DateStamp();

// The log folder: the log path value followed by "J2534/7318/" (with the
// platform's separator). False, out untouched, when there is no value.
bool GetInstallPath(std::string& out);

// The three file names LogInit would open now (for tests and tools).
struct LogFileNames {
  std::string folder;
  std::string main;
  std::string data;
  std::string contact;
};
LogFileNames CurrentLogFileNames();

// True when config.ini switches logging on.
bool LogSwitchedOn();

}  // namespace pdu::log
