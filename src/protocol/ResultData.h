// Ownership of the PDU_RESULT_DATA that parseResponse fills.
//
// parseResponse allocates, into a zero-filled record the caller provides:
//   RxFlag.pFlagData          4 bytes (the receive flag word)
//   TimestampFlags.pFlagData  4 bytes (0xC0 or 0)
//   pExtraInfo                one PDU_EXTRA_INFO without header/footer bytes
//   pDataBytes                NumDataBytes + 10 bytes (the 10 zero bytes after
//                             the data let the negative-response tests read
//                             d[0]..d[5] of any answer)
// These belong to the record from then on and are released with
// FreeResultMembers (or by ResultDataPtr, which also releases the record).
// Nothing else may release them (not free(), not PDUDestroyItem): the items
// handed to the application are deep copies made by the engine.
#pragma once

#include <memory>

#include "pdu_api.h"

namespace pdu::protocol {

// Releases what parseResponse allocated in result and zeroes the pointers
// and counts. Safe on a zero-filled record; null does nothing.
void FreeResultMembers(PDU_RESULT_DATA* result);

struct ResultDataDeleter {
  void operator()(PDU_RESULT_DATA* result) const;
};
using ResultDataPtr = std::unique_ptr<PDU_RESULT_DATA, ResultDataDeleter>;

// A new zero-filled record for parseResponse.
ResultDataPtr MakeResultData();

}  // namespace pdu::protocol
