#include "api/ApiFrame.h"

#include <cstdarg>
#include <cstdio>

#include "api/StatusName.h"
#include "platform/Clock.h"
#include "platform/Platform.h"

namespace pdu::api {

ApiFrame::ApiFrame(const char* name, EntryLine entry) : guard_(engine::ApiLock()), name_(name) {
  switch (entry) {
    case EntryLine::kNewlineTick:
      log::LogMain("\n%s %d", name_, Tick());
      break;
    case EntryLine::kTick:
      log::LogMain("%s %d", name_, Tick());
      break;
    case EntryLine::kNewlineNoTick:
      log::LogMain("\n%s", name_);
      break;
    case EntryLine::kNone:
      break;
  }
}

void ApiFrame::Param(const char* fmt, ...) {
  if (!log::MainLogOn()) return;
  va_list ap;
  va_start(ap, fmt);
  log::LogMainV("\t\t", fmt, ap);
  va_end(ap);
}

T_PDU_ERROR ApiFrame::Finish(T_PDU_ERROR status, ResultLine style) {
  const int tick = Tick();
  switch (style) {
    case ResultLine::kTick:
      log::LogMain("%s  %s %d", name_, StatusName(status), tick);
      break;
    case ResultLine::kNoTick:
      log::LogMain("%s  %s", name_, StatusName(status));
      break;
    case ResultLine::kTickTwoBlanks:
      log::LogMain("%s  %s  %d", name_, StatusName(status), tick);
      break;
    case ResultLine::kNone:
      break;
  }
  return status;
}

}  // namespace pdu::api
