// PDULockResource / PDUUnlockResource. The VCI has one user at a time, so no
// resource is ever locked: both calls only leave their lines in the log.
#include "api/ApiFrame.h"

using pdu::api::ApiFrame;
using pdu::api::EntryLine;
using pdu::api::Guarded;
using pdu::api::ResultLine;

extern "C" {

PDU_EXPORT T_PDU_ERROR PDU_CALL PDULockResource(UNUM32, UNUM32, UNUM32) {
  return Guarded([] {
    ApiFrame frame("PDULockResource", EntryLine::kNone);
    return frame.Finish(PDU_STATUS_NOERROR, ResultLine::kNoTick);
  });
}

PDU_EXPORT T_PDU_ERROR PDU_CALL PDUUnlockResource(UNUM32, UNUM32, UNUM32) {
  return Guarded([] {
    ApiFrame frame("PDUUnlockResource", EntryLine::kNewlineNoTick);
    return frame.Finish(PDU_STATUS_NOERROR, ResultLine::kNoTick);
  });
}

}  // extern "C"
