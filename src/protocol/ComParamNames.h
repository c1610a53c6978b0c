// The two facts about a ComParam that the handlers take from the module
// description: its short name (from its object identifier) and the code
// under which the VCI knows it.
#pragma once

#include <cstdint>
#include <map>
#include <string>

#include "mdf/ObjectIds.h"
#include "mdf/VciCodes.h"

namespace pdu::protocol {

// The VCI's code for a name that has none.
inline constexpr uint32_t kNoVciCode = mdf::kNoVciCode;

// Short name of the COMPARAM object with this identifier; empty when the
// module description has none.
inline std::string ComParamShortName(uint32_t comParamId) { return mdf::ObjectIdToShortName(comParamId, "COMPARAM"); }

// VCI code of a ComParam short name; kNoVciCode when it has none (the
// ComParam is then not sent to the VCI and takes no ParamBlock pair).
inline uint32_t ComParamVciCode(const char* shortName) { return mdf::GetVciCode(shortName); }

// The ComParams that identify ECU responses on the TP2.0 and TP1.6
// transports (identifier -> short name).
inline const std::map<uint32_t, std::string> kVwtpUniqueRespComparams{
    {157, "CPM_VWTP_PhysIdFormat"}, {159, "CPM_VWTP_PhysReqIdSetup"}, {160, "CPM_VWTP_PhysRespIdSetup"},
    {161, "CPM_VWTP_PhysReqIdCon"}, {162, "CPM_VWTP_PhysRespIdCon"},  {186, "CPM_VWTP_ComfortDiag"},
};

}  // namespace pdu::protocol
