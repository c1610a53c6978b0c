// PDUGetComParam, PDUSetComParam, PDUGetUniqueRespIdTable,
// PDUSetUniqueRespIdTable: the application's view of a link's ComParam set.
//
// Values cross the boundary only as deep copies: what the application hands
// in is cloned into the set, what it gets back is a fresh item that
// PDUDestroyItem releases (a PDU_IT_PARAM item, or a whole table of type
// PDU_IT_UNIQUE_RESP_ID_TABLE). A value set here reaches the VCI at the
// link's next PDUConnect.
#include <string>

#include "api/ApiFrame.h"
#include "api/LinkHandle.h"
#include "api/StatusName.h"
#include "engine/LinkItems.h"
#include "log/PduLog.h"
#include "mdf/Enumerations.h"
#include "mdf/ObjectIds.h"
#include "platform/Clock.h"
#include "protocol/ZPDUProtocolHandling.h"

namespace api = pdu::api;
namespace engine = pdu::engine;
namespace mdf = pdu::mdf;
namespace plog = pdu::log;
namespace protocol = pdu::protocol;

namespace {

std::string ComParamName(uint32_t comParamId) { return mdf::ObjectIdToShortName(comParamId, "COMPARAM"); }

}  // namespace

extern "C" {

PDU_EXPORT T_PDU_ERROR PDU_CALL PDUGetComParam(UNUM32 hMod, UNUM32 hCLL, UNUM32 ParamId,
                                               PDU_PARAM_ITEM** pParamItem) {
  return api::Guarded([&] {
    api::ApiFrame frame("PDUGetComParam");
    frame.Param("hMod = %d", static_cast<int>(hMod));
    frame.Param("hCLL = %d", static_cast<int>(hCLL));
    frame.Param("ParamId = %d", static_cast<int>(ParamId));
    protocol::ZPDUProtocolHandling* handler = api::CheckedLink(hCLL);
    if (handler == nullptr) return frame.Finish(PDU_ERR_INVALID_HANDLE);
    if (pParamItem == nullptr) return frame.Finish(PDU_ERR_INVALID_PARAMETERS);

    *pParamItem = engine::NewComParamItem(*handler, ParamId);
    return frame.Finish(PDU_STATUS_NOERROR);
  });
}

PDU_EXPORT T_PDU_ERROR PDU_CALL PDUSetComParam(UNUM32 hMod, UNUM32 hCLL, PDU_PARAM_ITEM* pParamItem) {
  return api::Guarded([&] {
    api::ApiFrame frame("PDUSetComParam");
    // This call's result line starts with a line break.
    auto finish = [&](T_PDU_ERROR status) {
      plog::LogMain("\nPDUSetComParam  %s %d", api::StatusName(status), api::Tick());
      return frame.Finish(status, api::ResultLine::kNone);
    };
    frame.Param("hMod = %d", static_cast<int>(hMod));
    frame.Param("hCLL = %d", static_cast<int>(hCLL));
    if (pParamItem != nullptr) {
      frame.Param("ComParamID = %d", static_cast<int>(pParamItem->ComParamId));
      frame.Param("ParamName = %s", ComParamName(pParamItem->ComParamId).c_str());
      frame.Param("ComParamClass = %s", mdf::ComParamClassName(pParamItem->ComParamClass));
      frame.Param("ComParamDataType = %s", mdf::ComParamDataTypeName(pParamItem->ComParamDataType));
    }
    protocol::ZPDUProtocolHandling* handler = api::CheckedLink(hCLL);
    if (handler == nullptr) return finish(PDU_ERR_INVALID_HANDLE);
    if (pParamItem == nullptr) return finish(PDU_ERR_INVALID_PARAMETERS);

    engine::KeepComParam(*handler, *pParamItem);
    return finish(PDU_STATUS_NOERROR);
  });
}

PDU_EXPORT T_PDU_ERROR PDU_CALL PDUSetUniqueRespIdTable(UNUM32 hMod, UNUM32 hCLL,
                                                        PDU_UNIQUE_RESP_ID_TABLE_ITEM* pUniqueRespIdTable) {
  return api::Guarded([&] {
    api::ApiFrame frame("PDUSetUniqueRespIdTable");
    frame.Param("hMod = %d", static_cast<int>(hMod));
    frame.Param("hCLL = %d", static_cast<int>(hCLL));
    protocol::ZPDUProtocolHandling* handler = api::CheckedLink(hCLL);
    if (handler == nullptr) return frame.Finish(PDU_ERR_INVALID_HANDLE);
    if (pUniqueRespIdTable == nullptr) return frame.Finish(PDU_ERR_INVALID_PARAMETERS);

    engine::KeepUniqueRespTable(*handler, *pUniqueRespIdTable);
    return frame.Finish(PDU_STATUS_NOERROR);
  });
}

PDU_EXPORT T_PDU_ERROR PDU_CALL PDUGetUniqueRespIdTable(UNUM32 hMod, UNUM32 hCLL,
                                                        PDU_UNIQUE_RESP_ID_TABLE_ITEM** pUniqueRespIdTable) {
  return api::Guarded([&] {
    api::ApiFrame frame("PDUGetUniqueRespIdTable", api::EntryLine::kNone);
    protocol::ZPDUProtocolHandling* handler = api::CheckedLink(hCLL);
    const PDU_UNIQUE_RESP_ID_TABLE_ITEM* stored =
        handler != nullptr ? handler->comParamSet().uniqueRespData() : nullptr;
    const uint32_t numEntries = stored != nullptr ? stored->NumEntries : 0;
    plog::LogMain("pdu_unique_item1 = %d", static_cast<int>(numEntries));
    plog::LogMain("\nPDUGetUniqueRespIdTable %d", api::Tick());
    frame.Param("hMod = %d", static_cast<int>(hMod));
    frame.Param("hCLL = %d", static_cast<int>(hCLL));
    if (numEntries != 0) {
      plog::LogMain("pdu_unique_item NumParamItems= %d", static_cast<int>(stored->pUniqueData[0].NumParamItems));
    }
    if (handler == nullptr) return frame.Finish(PDU_ERR_INVALID_HANDLE);
    if (pUniqueRespIdTable == nullptr) return frame.Finish(PDU_ERR_INVALID_PARAMETERS);

    // The application gets its own copy and gives it back whole with
    // PDUDestroyItem; the link's table is never handed out.
    *pUniqueRespIdTable = engine::NewUniqueRespTableItem(*handler);
    return frame.Finish(PDU_STATUS_NOERROR);
  });
}

}  // extern "C"
