// PDUStartComPrimitive and PDUCancelComPrimitive: the application hands a
// ComPrimitive to the engine thread and gets its handle back at once.
#include "api/ApiFrame.h"
#include "api/LinkHandle.h"
#include "engine/CopQueues.h"
#include "engine/EventItems.h"
#include "protocol/ZPDUProtocolHandling.h"

namespace api = pdu::api;
namespace engine = pdu::engine;
namespace plog = pdu::log;

extern "C" {

PDU_EXPORT T_PDU_ERROR PDU_CALL PDUStartComPrimitive(UNUM32 hMod, UNUM32 hCLL, T_PDU_COPT CoPType,
                                                     UNUM32 CoPDataSize, UNUM8* pCoPData,
                                                     PDU_COP_CTRL_DATA* pCopCtrlData, void* pCoPTag,
                                                     UNUM32* phCoP) {
  return api::Guarded([&] {
    api::ApiFrame frame("PDUStartComPrimitive");
    frame.Param("hMod = %d", static_cast<int>(hMod));
    frame.Param("hCLL = %d", static_cast<int>(hCLL));
    frame.Param("CoPType = %s", engine::CoPTypeName(CoPType));
    frame.Param("pCoPTag = $%d", static_cast<int>(reinterpret_cast<intptr_t>(pCoPTag)));
    frame.Param("CoPDataSize = %d", static_cast<int>(CoPDataSize));

    pdu::protocol::ZPDUProtocolHandling* handler = api::CheckedLink(hCLL);
    if (handler == nullptr) return frame.Finish(PDU_ERR_INVALID_HANDLE);
    if (phCoP == nullptr || (pCoPData == nullptr && CoPDataSize != 0) ||
        CoPDataSize > engine::kMaxCoPDataSize) {
      return frame.Finish(PDU_ERR_INVALID_PARAMETERS);
    }
    engine::ComPrimitiveRequest request{.hMod = hMod, .hCLL = hCLL, .CoPType = static_cast<uint32_t>(CoPType),
                                        .data = pCoPData, .size = CoPDataSize, .tag = pCoPTag};
    if (pCopCtrlData != nullptr) request.ctrl = *pCopCtrlData;
    *phCoP = engine::QueueComPrimitive(*handler, request);
    return frame.Finish(PDU_STATUS_NOERROR);
  });
}

PDU_EXPORT T_PDU_ERROR PDU_CALL PDUCancelComPrimitive(UNUM32 hMod, UNUM32 hCLL, UNUM32 hCoP) {
  return api::Guarded([&] {
    // A ComPrimitive runs to its end; cancelling is only recorded.
    api::ApiFrame frame("PDUCancelComPrimitive", api::EntryLine::kNewlineNoTick);
    plog::LogMain("\t\t\thMod = %d", static_cast<int>(hMod));
    plog::LogMain("\t\t\thCLL = %d", static_cast<int>(hCLL));
    plog::LogMain("\t\t\thCoP = %d", static_cast<int>(hCoP));
    return frame.Finish(PDU_STATUS_NOERROR, api::ResultLine::kNoTick);
  });
}

}  // extern "C"
