// PDUIoCtl: the I/O controls, chosen by the IO_CTRL object's short name.
#include <string>

#include "api/ApiFrame.h"
#include "engine/ModuleState.h"
#include "device/IoCtl.h"
#include "engine/CopQueues.h"
#include "mdf/ObjectIds.h"

extern "C" {

PDU_EXPORT T_PDU_ERROR PDU_CALL PDUIoCtl(UNUM32 hMod, UNUM32 hCLL, UNUM32 IoCtlCommandId, PDU_DATA_ITEM*,
                                         PDU_DATA_ITEM** pOutputData) {
  return pdu::api::Guarded([&] {
    pdu::api::ApiFrame frame("PDUIoCtl");
    frame.Param("hMod = %d", static_cast<int>(hMod));
    frame.Param("hCLL = %d", static_cast<int>(hCLL));
    const std::string name = pdu::mdf::ObjectIdToShortName(IoCtlCommandId, "IO_CTRL");
    frame.Param("IoCtlCommandId = %d Name=%s", static_cast<int>(IoCtlCommandId), name.c_str());
    // The two readings hand an item out; they need somewhere to put it.
    if (pOutputData == nullptr &&
        (name == "PDU_IOCTL_READ_VBATT" || name == "PDU_IOCTL_READ_IGNITION_SENSE_STATE")) {
      return frame.Finish(PDU_ERR_INVALID_PARAMETERS);
    }
    const T_PDU_ERROR result =
        pdu::device::IoCtlExecute(hMod, hCLL, name, pOutputData, pdu::engine::Module().CopIdle());
    return frame.Finish(result);
  });
}

}  // extern "C"
