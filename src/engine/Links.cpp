#include "engine/Links.h"

#include <cstdint>
#include <memory>
#include <string>

#include "device/DeviceCommands.h"
#include "device/DeviceLink.h"
#include "engine/CopQueues.h"
#include "engine/LinkSetup.h"
#include "engine/LinkTables.h"
#include "engine/ModuleState.h"
#include "log/PduLog.h"
#include "mdf/MdfTables.h"
#include "mdf/ObjectIds.h"
#include "mdf/VciCodes.h"
#include "protocol/CreateProtocolHandler.h"
#include "protocol/ZPDUProtocolHandling.h"

namespace pdu::engine {

namespace plog = pdu::log;

namespace {

// The one protocol whose links hold a TP2.0 channel id.
constexpr const char* kTp20ProtocolName = "MSP_VW2000LP_on_TP20";
constexpr uint32_t kNoChannel = 0xFFFFFFFFu;

uint32_t FreeTp20Channel() PDU_REQUIRES(g_ApiLock) {
  for (uint32_t i = 0; i < kTp20Channels; ++i) {
    if (!Module().Tp20ChannelHeld(i)) return i;
  }
  return kNoChannel;
}

// Creation by resource id: the resource's bus type, protocol and pins from
// the module description. Returns the handler (null for an unknown
// resource or a protocol without handler class).
std::unique_ptr<protocol::ZPDUProtocolHandling> CreateFromResource(uint32_t resourceId,
                                                                   const PDU_FLAG_DATA* createFlag) {
  plog::LogMain("pRscData = NULL");
  mdf::ODXResource resource;
  const std::string resourceName = mdf::GetResourceById(resourceId, resource);
  plog::LogMain("resourceName = %s", resourceName.c_str());

  const MdfName busType = ResolveMdfName(resource.BusTypeName);
  const MdfName protocolName = ResolveMdfName(resource.ProtocolName);
  plog::LogMain("BusType = [%d] %s", static_cast<int>(busType.ObjectId), busType.ShortName.c_str());
  plog::LogMain("Protocol = [%d] %s", static_cast<int>(protocolName.ObjectId), protocolName.ShortName.c_str());

  // ModulePin is laid out as PDU_PIN_DATA: the resource's copy is the link's.
  PDU_RSC_DATA rsc{busType.ObjectId, protocolName.ObjectId, resource.NumPins(),
                   resource.Pins.empty() ? nullptr : resource.Pins.data()};

  // Only logged here; the connect sends codes derived from the ids.
  const uint32_t busCode = mdf::GetVciCode(busType.ShortName);
  const uint32_t protocolCode = mdf::GetVciCode(protocolName.ShortName);
  if (busCode != mdf::kNoVciCode) plog::LogMain("bustype id = %d", static_cast<int>(busCode));
  if (protocolCode != mdf::kNoVciCode) plog::LogMain("Protocol id = %d", static_cast<int>(protocolCode));

  auto handler = protocol::CreateProtocolHandler(protocolName.ShortName.c_str());
  if (handler) {
    handler->setRscData(&rsc);
    handler->setCllCreateFlag(createFlag);
  }
  plog::LogMain("1111");
  if (handler) ApplyMdfDefaults(rsc.ProtocolId, rsc.BusTypeId, *handler);
  plog::LogMain("1112");
  return handler;
}

// Creation by the application's resource data; channel is the TP2.0
// channel id the link takes (kNoChannel for other protocols).
std::unique_ptr<protocol::ZPDUProtocolHandling> CreateFromRscData(uint32_t hCLL, const PDU_RSC_DATA& rscData,
                                                                  const std::string& protocolName,
                                                                  uint32_t channel,
                                                                  const PDU_FLAG_DATA* createFlag)
    PDU_REQUIRES(g_ApiLock) {
  if (plog::MainLogOn()) plog::LogMain("%s", DumpRscData(rscData).c_str());
  auto handler = protocol::CreateProtocolHandler(protocolName.c_str());
  if (channel != kNoChannel && handler) {
    Module().HoldTp20Channel(channel);
    handler->Tp20ChannelId.store(channel);
    plog::LogMain("tp20 channel id = %d", static_cast<int>(channel));
  }
  if (handler) {
    plog::LogMain("%d", static_cast<int>(hCLL));
    handler->setRscData(&rscData);  // the set copies the pins
    handler->setCllCreateFlag(createFlag);
    ApplyMdfDefaults(rscData.ProtocolId, rscData.BusTypeId, *handler);
  }
  return handler;
}

// The link-status job of connect and disconnect: the engine delivers the
// link's CllStatus as it is when it takes the job.
void QueueLinkStatusJob(uint32_t hMod, uint32_t hCLL) PDU_REQUIRES(g_ApiLock) {
  CopJob job = Module().LastJob();
  job.hMod = hMod;
  job.hCLL = hCLL;
  job.JobKind = kJobKindLinkStatus;
  AppendCopJob(job);
}

}  // namespace

T_PDU_ERROR CreateLink(const PDU_RSC_DATA* pRscData, uint32_t resourceId, void* pCllTag,
                       const PDU_FLAG_DATA* pCllCreateFlag, uint32_t* phCLL) {
  std::string protocolName;
  uint32_t channel = kNoChannel;
  if (pRscData != nullptr) {
    protocolName = mdf::ObjectIdToShortName(pRscData->ProtocolId, "PROTOCOL");
    if (protocolName == kTp20ProtocolName) {
      channel = FreeTp20Channel();
      if (channel == kNoChannel) return PDU_ERR_RESOURCE_BUSY;
    }
  }
  const PDU_FLAG_DATA* createFlag =
      pCllCreateFlag != nullptr && pCllCreateFlag->pFlagData != nullptr ? pCllCreateFlag : nullptr;

  // Counted even when the link ends up without a handler.
  const uint32_t hCLL = Module().NextLinkHandle();
  Module().SetLinkHandler(hCLL, pRscData == nullptr
                                    ? CreateFromResource(resourceId, createFlag)
                                    : CreateFromRscData(hCLL, *pRscData, protocolName, channel, createFlag));
  protocol::ZPDUProtocolHandling* handler = Module().LinkHandler(hCLL);

  Module().RememberLinkTag(pCllTag);
  plog::LogMain("\t\tpCllTag = $%d", static_cast<int>(reinterpret_cast<intptr_t>(pCllTag)));
  if (plog::MainLogOn()) {
    const std::string flagText =
        createFlag != nullptr ? plog::HexString(createFlag->pFlagData, createFlag->NumFlagBytes, true) : "";
    plog::LogMain("\t\t\tpCllCreateFlag->pFlagData: %s", flagText.c_str());
  }
  plog::LogMain("\t\tCheckSum Mode");

  Module().StartLastJobForLink(hCLL);
  *phCLL = hCLL;
  Module().SetLinkTag(hCLL, pCllTag);
  plog::LogMain("*phCLL = %d", static_cast<int>(hCLL));

  if (handler != nullptr) handler->clearComparam_var();
  return PDU_STATUS_NOERROR;
}

void DestroyLink(uint32_t hMod, uint32_t hCLL, protocol::ZPDUProtocolHandling& handler) {
  // A TP2.0 link gives its channel id back. The handler itself stays:
  // the handle keeps answering with it until the next construction.
  if (handler.isTP20()) {
    const uint32_t channel = handler.Tp20ChannelId.load();
    if (channel < kTp20Channels) Module().ReleaseTp20Channel(channel);
  }
  if (device::GetDeviceLink() != nullptr) device::VciDestroyLink(hMod, hCLL);
}

void ConnectLink(uint32_t hMod, uint32_t hCLL, protocol::ZPDUProtocolHandling& handler) {
  QueueLinkStatusJob(hMod, hCLL);
  // Not constructed: the link is neither configured nor ONLINE, but the
  // status job is queued and the queue opened all the same.
  if (device::GetDeviceLink() != nullptr) {
    SendLinkSetup(hMod, hCLL, handler);
    ForwardLinkComParams(hMod, hCLL, handler);
    const PDU_UNIQUE_RESP_ID_TABLE_ITEM* table = handler.comParamSet().uniqueRespData();
    if (handler.isTP20()) {
      device::VciConnectLinkTp20(hMod, hCLL, table, handler.Tp20ChannelId.load());
    } else {
      device::VciConnectLink(hMod, hCLL, table);
    }
  }
  handler.parseComparam();
  plog::LogMain("channelId = %d", 0);
  SetQueueRun(1);
}

void DisconnectLink(uint32_t hMod, uint32_t hCLL, protocol::ZPDUProtocolHandling& handler) {
  handler.CllStatus.store(PDU_CLLST_OFFLINE);
  QueueLinkStatusJob(hMod, hCLL);
  if (device::GetDeviceLink() != nullptr) device::VciDisconnectLink();
}

}  // namespace pdu::engine
