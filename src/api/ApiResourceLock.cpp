// PDULockResource / PDUUnlockResource. The VCI has one user at a time, so no
// resource is ever locked: both calls only leave their lines in the log.
#include "api/ApiFrame.h"


namespace api = pdu::api;
extern "C" {

PDU_EXPORT T_PDU_ERROR PDU_CALL PDULockResource(UNUM32, UNUM32, UNUM32) {
  return api::Guarded([] {
    api::ApiFrame frame("PDULockResource", api::EntryLine::kNone);
    return frame.Finish(PDU_STATUS_NOERROR, api::ResultLine::kNoTick);
  });
}

PDU_EXPORT T_PDU_ERROR PDU_CALL PDUUnlockResource(UNUM32, UNUM32, UNUM32) {
  return api::Guarded([] {
    api::ApiFrame frame("PDUUnlockResource", api::EntryLine::kNewlineNoTick);
    return frame.Finish(PDU_STATUS_NOERROR, api::ResultLine::kNoTick);
  });
}

}  // extern "C"
