// PDUConstruct and PDUDestruct hand the module's bring-up and tear-down to
// the engine room (engine/Construction.h); PDUModuleConnect and
// PDUModuleDisconnect send their command.
#include "api/ApiFrame.h"
#include "device/DeviceCommands.h"
#include "device/DeviceLink.h"
#include "engine/Construction.h"
#include "engine/ModuleState.h"
#include "log/PduLog.h"

namespace api = pdu::api;
namespace device = pdu::device;
namespace engine = pdu::engine;
namespace plog = pdu::log;

extern "C" {

PDU_EXPORT T_PDU_ERROR PDU_CALL PDUConstruct(CHAR8* OptionStr, void*) {
  return api::Guarded([&] { return engine::ConstructModule(OptionStr); });
}

PDU_EXPORT T_PDU_ERROR PDU_CALL PDUDestruct(void) {
  return api::Guarded([] { return engine::DestructModule(); });
}

PDU_EXPORT T_PDU_ERROR PDU_CALL PDUModuleConnect(UNUM32 hMod) {
  return api::Guarded([&] {
    api::ApiFrame frame("PDUModuleConnect");
    plog::LogMain("hMod = %d", static_cast<int>(hMod));
    T_PDU_ERROR result = PDU_STATUS_NOERROR;
    if (device::GetDeviceLink() != nullptr) result = device::VciModuleConnect(hMod);
    engine::Module().SetModuleStatus(PDU_MODST_READY);
    return frame.Finish(result);
  });
}

PDU_EXPORT T_PDU_ERROR PDU_CALL PDUModuleDisconnect(UNUM32 hMod) {
  return api::Guarded([&] {
    api::ApiFrame frame("PDUModuleDisconnect");
    const T_PDU_ERROR result = device::VciModuleDisconnect(hMod);
    engine::Module().SetModuleStatus(PDU_MODST_AVAIL);
    return frame.Finish(result);
  });
}

}  // extern "C"
