// The version data that PDUGetVersion answers: read from the [MVCI_VERSION]
// section of PDUAPI_7318.ini in the application folder at every call (a
// missing file or key reads as 0 or ""), with the fixed standard and
// hardware versions of this module.
#pragma once

#include "pdu_api.h"

namespace pdu::mdf {

PDU_VERSION_DATA ReadVersionData();

}  // namespace pdu::mdf
