// PDUConstruct's and PDUDestruct's work (Construction.cpp). Any number of
// threads may call them at once: they take the lifetime turn (Lifetime.h)
// one after the other. From an event callback a construction is refused
// (PDU_ERR_FCT_FAILED) and a destruction never waits for another thread's
// turn.
#pragma once

#include "pdu_api.h"

namespace pdu::engine {

// 0 also when no VCI was found (the module stays unconstructed);
// PDU_ERR_FCT_FAILED from a callback or while the process ends.
T_PDU_ERROR ConstructModule(const char* options);
// PDU_ERR_COMM_PC_TO_VCI_FAILED when there was nothing to destruct.
T_PDU_ERROR DestructModule();

}  // namespace pdu::engine
