// The frame every exported function runs in:
//   take the ApiLock, log the entry line, one line per parameter, do the
//   work, log the result line with the status's log name, release the lock,
//   return the status.
// ApiFrame does the lock and the lines; Guarded keeps exceptions from
// crossing the C boundary.
#pragma once

#include <cstdint>
#include <new>

#include "engine/ApiLock.h"
#include "log/PduLog.h"
#include "pdu_api.h"
#include "platform/Clock.h"

namespace pdu::api {

// The log writes ticks and handed-out pointers as plain %d ints (the
// pointer's low 32 bits): what a reader of the log matches them by.
inline int Tick() { return static_cast<int>(platform::ClockTicks()); }
inline int AsInt(const void* p) { return static_cast<int>(reinterpret_cast<intptr_t>(p)); }

// How the entry line looks ("name" stands for the function's name).
enum class EntryLine {
  kNewlineTick,    // "\nname %d"
  kTick,           // "name %d"
  kNewlineNoTick,  // "\nname"
  kNone,           // no entry line
};

// How the result line looks.
enum class ResultLine {
  kTick,           // "name  <STATUS> %d"
  kNoTick,         // "name  <STATUS>"
  kTickTwoBlanks,  // "name  <STATUS>  %d"
  kNone,           // no result line
};

// Holds the ApiLock for its scope (a scoped capability, so the compiler
// knows the body of an exported function runs with the lock held).
class PDU_SCOPED_CAPABILITY ApiFrame {
 public:
  explicit ApiFrame(const char* name, EntryLine entry = EntryLine::kNewlineTick)
      PDU_ACQUIRE(engine::g_ApiLock);
  ~ApiFrame() PDU_RELEASE() {}
  ApiFrame(const ApiFrame&) = delete;
  ApiFrame& operator=(const ApiFrame&) = delete;

  // One parameter line: two tabs and the formatted text.
  void Param(const char* fmt, ...) PDU_PRINTF(2, 3);

  // Writes the result line and hands the status back for `return`.
  T_PDU_ERROR Finish(T_PDU_ERROR status, ResultLine style = ResultLine::kTick);

  const char* name() const { return name_; }

 private:
  engine::ApiLockGuard guard_;
  const char* name_;
};

// Runs the body of an exported function; any exception becomes
// PDU_ERR_FCT_FAILED (allocation failure included). The ApiFrame inside the
// body has released the lock by then.
template <class Body>
T_PDU_ERROR Guarded(Body&& body) noexcept {
  try {
    return body();
  } catch (...) {
    return PDU_ERR_FCT_FAILED;
  }
}

}  // namespace pdu::api
