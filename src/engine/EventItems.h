// From CopEvents to the application's event items, and the callback
// routine that tells the application that events are waiting.
#pragma once

#include <cstdint>

#include "engine/CopQueues.h"
#include "pdu_api.h"

namespace pdu::engine {

// "PDU_COPST_EXECUTING", "PDU_CLLST_ONLINE", ... ("UNKNOWN" otherwise).
const char* StatusValueName(uint32_t status);
// "PDU_COPT_STARTCOM", ... ("UNKNOW" otherwise).
const char* CoPTypeName(uint32_t copType);

// Removes the oldest event of hCLL from the CopEventQueue into out; the
// other events keep their order. Caller holds the ApiLock.
bool TakeLinkEvent(uint32_t hCLL, CopEvent& out) PDU_REQUIRES(g_ApiLock);
// PDUGetEventItem's work: the oldest event of the link as a new item in
// *out (link status, ComPrimitive status, result or error), with its log
// lines; PDU_ERR_EVENT_QUEUE_EMPTY (0x71) when the link has none or the
// event yields no item (it is consumed all the same).
T_PDU_ERROR TakeEventItem(uint32_t hCLL, PDU_EVENT_ITEM** out) PDU_REQUIRES(g_ApiLock);
// PDUGetModuleIds' item: the one VCI with its fixed identity (logged).
PDU_MODULE_ITEM* NewModuleIdItem();
// PDUGetStatus' answers (logged): the module status, the tick now and the
// extra info word 0xFFFFFFFE.
void ModuleStatusNow(T_PDU_STATUS* pStatusCode, uint32_t* pTimestamp, uint32_t* pExtraInfo) PDU_REQUIRES(g_ApiLock);

// Item builders: each makes one fresh item into *item and logs its lines.
// BuildResultItem takes the event's pResultData over.
int BuildStatusItem(const CopEvent& event, uint32_t status, uint32_t hCop, void* tag,
                    PDU_EVENT_ITEM** item);
int BuildResultItem(CopEvent& event, PDU_EVENT_ITEM** item);
int BuildErrorItem(const CopEvent& event, PDU_EVENT_ITEM** item);

// A deep copy of the module's g_ResultData (every array new, pExtraInfo always new);
// zeroes out when there is none.
void CopyResultData(PDU_RESULT_DATA& out);

// Tells the application that events of the running job's link are waiting
// (or drops the link's oldest event when it has no callback). Runs on the
// engine thread.
void CallbackThread();

// Releases an item handed out by this library, by its type.
void DestroyItem(PDU_ITEM* item);

}  // namespace pdu::engine

// How every item this library hands out is allocated, so that DestroyItem
// releases exactly what it owns:
//   PDU_IT_STATUS      new PDU_EVENT_ITEM, pData = new uint32_t
//   PDU_IT_RESULT      new PDU_EVENT_ITEM, pData = PDU_RESULT_DATA (FreeResultData)
//   PDU_IT_ERROR       new PDU_EVENT_ITEM, pData = new PDU_ERROR_DATA
//   PDU_IT_IO_UNUM32   new PDU_DATA_ITEM,  pData = new uint32_t[1]
//   PDU_IT_PARAM       new PDU_PARAM_ITEM, value from mdf::CloneComParamValue
//   PDU_IT_MODULE_ID   new PDU_MODULE_ITEM, pModuleData = new PDU_MODULE_DATA[n],
//                      its two texts new char[]
//   PDU_IT_UNIQUE_RESP_ID_TABLE  mdf::CloneUniqueRespIdTable
