// PDUGetObjectId: the object identifier of a module description object by
// its short name.
//
// The object type does not narrow the search: the first object of the file
// with that short name answers, whatever its kind, and an unknown name
// leaves *pPduObjectId as the caller set it (the log shows that value).
// Applications of this module rely on both.
#include "api/ApiFrame.h"
#include "api/StatusName.h"
#include "mdf/Enumerations.h"
#include "mdf/ObjectIds.h"
#include "platform/Clock.h"
#include "platform/Platform.h"

namespace api = pdu::api;

namespace {

T_PDU_ERROR FinishObjectId(api::ApiFrame& frame, T_PDU_ERROR status) {
  pdu::log::LogMain("\n%s  %s %d", frame.name(), pdu::api::StatusName(status), pdu::api::Tick());
  return frame.Finish(status, api::ResultLine::kNone);
}

}  // namespace

extern "C" {

PDU_EXPORT T_PDU_ERROR PDU_CALL PDUGetObjectId(T_PDU_OBJT pduObjectType, CHAR8* pShortname,
                                               UNUM32* pPduObjectId) {
  return api::Guarded([&] {
    api::ApiFrame frame("PDUGetObjectId", api::EntryLine::kNewlineTick);
    frame.Param("*pShortname = %s", pShortname != nullptr ? pShortname : "(null)");
    if (pShortname == nullptr || pPduObjectId == nullptr) {
      return FinishObjectId(frame, PDU_ERR_INVALID_PARAMETERS);
    }
    pdu::mdf::ObjectIdByShortName(pShortname, *pPduObjectId);
    frame.Param("*pPduObjectId = %d", static_cast<int>(*pPduObjectId));
    pdu::log::LogMain("\t\t\t%s", pdu::mdf::ObjectTypeName(pduObjectType));
    return FinishObjectId(frame, PDU_STATUS_NOERROR);
  });
}

}  // extern "C"
