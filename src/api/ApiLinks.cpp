// PDUCreateComLogicalLink, PDUDestroyComLogicalLink, PDUConnect,
// PDUDisconnect.
//
// A ComLogicalLink is its protocol handler in LinkTable plus its rows in the
// other per-handle tables. Creation fills the handler's ComParam set with
// the MDF defaults; connecting sends resource, ComParams and unique
// response identifier table to the VCI and queues a link-status job, as
// disconnecting does, so that a callback learns the new state.
//
// Handles that name no link (0, never handed out, above 1023, or a link
// whose protocol has no handler) are refused with PDU_ERR_INVALID_HANDLE
// before anything is touched.
#include <cstring>
#include <string>

#include "api/ApiFrame.h"
#include "engine/ModuleState.h"
#include "api/LinkHandle.h"
#include "api/LinkSetup.h"
#include "device/DeviceCommands.h"
#include "device/DeviceLink.h"
#include "engine/CopQueues.h"
#include "engine/LinkTables.h"
#include "log/PduLog.h"
#include "mdf/MdfTables.h"
#include "mdf/ObjectIds.h"
#include "mdf/VciCodes.h"
#include "protocol/CreateProtocolHandler.h"
#include "protocol/ZPDUProtocolHandling.h"

using pdu::api::ApiFrame;
using pdu::api::EntryLine;
using pdu::api::Guarded;
using pdu::api::AsInt;
namespace api = pdu::api;
namespace device = pdu::device;
namespace engine = pdu::engine;
namespace mdf = pdu::mdf;
namespace plog = pdu::log;
namespace protocol = pdu::protocol;

namespace {

// The one protocol whose links hold a TP2.0 channel id.
constexpr const char* kTp20ProtocolName = "MSP_VW2000LP_on_TP20";
constexpr uint32_t kNoChannel = 0xFFFFFFFFu;

uint32_t FreeTp20Channel() PDU_REQUIRES(engine::g_ApiLock) {
  for (uint32_t i = 0; i < engine::kTp20Channels; ++i) {
    if (!engine::Module().Tp20ChannelHeld(i)) return i;
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

  const api::MdfName busType = api::ResolveMdfName(resource.BusTypeName);
  const api::MdfName protocolName = api::ResolveMdfName(resource.ProtocolName);
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
  if (handler) api::ApplyMdfDefaults(rsc.ProtocolId, rsc.BusTypeId, *handler);
  plog::LogMain("1112");
  return handler;
}

// Creation by the application's resource data; channel is the TP2.0
// channel id the link takes (kNoChannel for other protocols).
std::unique_ptr<protocol::ZPDUProtocolHandling> CreateFromRscData(uint32_t hCLL, const PDU_RSC_DATA& rscData,
                                                                  const std::string& protocolName,
                                                                  uint32_t channel,
                                                                  const PDU_FLAG_DATA* createFlag)
    PDU_REQUIRES(engine::g_ApiLock) {
  if (plog::MainLogOn()) plog::LogMain("%s", api::DumpRscData(rscData).c_str());
  auto handler = protocol::CreateProtocolHandler(protocolName.c_str());
  if (channel != kNoChannel && handler) {
    engine::Module().HoldTp20Channel(channel);
    handler->Tp20ChannelId.store(channel);
    plog::LogMain("tp20 channel id = %d", static_cast<int>(channel));
  }
  if (handler) {
    plog::LogMain("%d", static_cast<int>(hCLL));
    handler->setRscData(&rscData);  // the set copies the pins
    handler->setCllCreateFlag(createFlag);
    api::ApplyMdfDefaults(rscData.ProtocolId, rscData.BusTypeId, *handler);
  }
  return handler;
}

// The link-status job of connect and disconnect: the engine delivers the
// link's CllStatus as it is when it takes the job.
void QueueLinkStatusJob(uint32_t hMod, uint32_t hCLL) PDU_REQUIRES(engine::g_ApiLock) {
  engine::CopJob job = engine::Module().LastJob();
  job.hMod = hMod;
  job.hCLL = hCLL;
  job.JobKind = engine::kJobKindLinkStatus;
  engine::AppendCopJob(job);
}

}  // namespace

extern "C" {

PDU_EXPORT T_PDU_ERROR PDU_CALL PDUCreateComLogicalLink(UNUM32 hMod, PDU_RSC_DATA* pRscData, UNUM32 resourceId,
                                                        void* pCllTag, UNUM32* phCLL,
                                                        PDU_FLAG_DATA* pCllCreateFlag) {
  return Guarded([&] {
    ApiFrame frame("PDUCreateComLogicalLink");
    frame.Param("hMod = %d", static_cast<int>(hMod));
    frame.Param("resourceId = %d", static_cast<int>(resourceId));
    if (phCLL == nullptr) return frame.Finish(PDU_ERR_INVALID_PARAMETERS);
    // LinkTagTable has a row for handles up to 1023 only.
    if (engine::Module().LastLinkHandle() >= engine::kMaxLinkHandle) return frame.Finish(PDU_ERR_FCT_FAILED);

    std::string protocolName;
    uint32_t channel = kNoChannel;
    if (pRscData != nullptr) {
      protocolName = mdf::ObjectIdToShortName(pRscData->ProtocolId, "PROTOCOL");
      if (protocolName == kTp20ProtocolName) {
        channel = FreeTp20Channel();
        if (channel == kNoChannel) return frame.Finish(PDU_ERR_RESOURCE_BUSY);
      }
    }
    const PDU_FLAG_DATA* createFlag =
        pCllCreateFlag != nullptr && pCllCreateFlag->pFlagData != nullptr ? pCllCreateFlag : nullptr;

    // Counted even when the link ends up without a handler.
    const uint32_t hCLL = engine::Module().NextLinkHandle();
    engine::Module().SetLinkHandler(hCLL, pRscData == nullptr
                                              ? CreateFromResource(resourceId, createFlag)
                                              : CreateFromRscData(hCLL, *pRscData, protocolName, channel, createFlag));
    protocol::ZPDUProtocolHandling* handler = engine::Module().LinkHandler(hCLL);

    engine::Module().RememberLinkTag(pCllTag);
    plog::LogMain("\t\tpCllTag = $%d", AsInt(pCllTag));
    if (plog::MainLogOn()) {
      const std::string flagText =
          createFlag != nullptr ? plog::HexString(createFlag->pFlagData, createFlag->NumFlagBytes, true) : "";
      plog::LogMain("\t\t\tpCllCreateFlag->pFlagData: %s", flagText.c_str());
    }
    plog::LogMain("\t\tCheckSum Mode");

    engine::Module().StartLastJobForLink(hCLL);
    *phCLL = hCLL;
    engine::Module().SetLinkTag(hCLL, pCllTag);
    plog::LogMain("*phCLL = %d", static_cast<int>(hCLL));

    if (handler != nullptr) handler->clearComparam_var();
    return frame.Finish(PDU_STATUS_NOERROR);
  });
}

PDU_EXPORT T_PDU_ERROR PDU_CALL PDUDestroyComLogicalLink(UNUM32 hMod, UNUM32 hCLL) {
  return Guarded([&] {
    ApiFrame frame("PDUDestroyComLogicalLink");
    frame.Param("hMod = %d", static_cast<int>(hMod));
    frame.Param("hCLL = %d", static_cast<int>(hCLL));
    protocol::ZPDUProtocolHandling* handler = api::CheckedLink(hCLL);
    if (handler == nullptr) return frame.Finish(PDU_ERR_INVALID_HANDLE);

    // A TP2.0 link gives its channel id back. The handler itself stays:
    // the handle keeps answering with it until the next construction.
    if (handler->isTP20()) {
      const uint32_t channel = handler->Tp20ChannelId.load();
      if (channel < engine::kTp20Channels) engine::Module().ReleaseTp20Channel(channel);
    }
    if (device::GetDeviceLink() != nullptr) device::VciDestroyLink(hMod, hCLL);
    return frame.Finish(PDU_STATUS_NOERROR);
  });
}

PDU_EXPORT T_PDU_ERROR PDU_CALL PDUConnect(UNUM32 hMod, UNUM32 hCLL) {
  return Guarded([&] {
    ApiFrame frame("PDUConnect", EntryLine::kTick);
    frame.Param("hMod = %d", static_cast<int>(hMod));
    frame.Param("hCLL = %d", static_cast<int>(hCLL));
    protocol::ZPDUProtocolHandling* handler = api::CheckedLink(hCLL);
    if (handler == nullptr) return frame.Finish(PDU_ERR_INVALID_HANDLE);
    plog::LogMain("callbackFunction = $%d", AsInt(engine::Module().CallbackTableAddress()));
    plog::LogMain("g_pCoPTag = $%d", AsInt(engine::Module().LastLinkTag()));

    QueueLinkStatusJob(hMod, hCLL);
    // Not constructed: the link is neither configured nor ONLINE, but the
    // status job is queued and the queue opened all the same.
    if (device::GetDeviceLink() != nullptr) {
      api::SendLinkSetup(hMod, hCLL, *handler);
      api::ForwardLinkComParams(hMod, hCLL, *handler);
      const PDU_UNIQUE_RESP_ID_TABLE_ITEM* table = handler->comParamSet().uniqueRespData();
      if (handler->isTP20()) {
        device::VciConnectLinkTp20(hMod, hCLL, table, handler->Tp20ChannelId.load());
      } else {
        device::VciConnectLink(hMod, hCLL, table);
      }
    }
    handler->parseComparam();
    plog::LogMain("channelId = %d", 0);
    engine::SetQueueRun(1);
    return frame.Finish(PDU_STATUS_NOERROR);
  });
}

PDU_EXPORT T_PDU_ERROR PDU_CALL PDUDisconnect(UNUM32 hMod, UNUM32 hCLL) {
  return Guarded([&] {
    ApiFrame frame("PDUDisconnect", EntryLine::kTick);
    frame.Param("hMod = %d", static_cast<int>(hMod));
    frame.Param("hCLL = %d", static_cast<int>(hCLL));
    protocol::ZPDUProtocolHandling* handler = api::CheckedLink(hCLL);
    if (handler == nullptr) return frame.Finish(PDU_ERR_INVALID_HANDLE);

    handler->CllStatus.store(PDU_CLLST_OFFLINE);
    QueueLinkStatusJob(hMod, hCLL);
    if (device::GetDeviceLink() != nullptr) device::VciDisconnectLink();
    return frame.Finish(PDU_STATUS_NOERROR);
  });
}

}  // extern "C"
