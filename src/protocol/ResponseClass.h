// What one vehicle message means for the ComPrimitive that waits for it.
// parseResponse answers it; the engine acts on it:
//   kFinal     a result; keep receiving only when the job expects more
//   kPending   negative response 0x78 (response pending): send nothing,
//              wait again (the engine waits up to 5000 ms)
//   kRepeat    negative response 0x21 (busy, repeat request): send the same
//              request again with the same wait
//   kNoResult  the message carries no answer (too short); a SENDRECV ends
//              with an error event
// The numbers are the ones the engine logs ("reg = %d").
#pragma once

#include <cstdint>

namespace pdu::protocol {

enum class ResponseClass : uint32_t {
  kFinal = 0,
  kPending = 1,
  kRepeat = 2,
  kNoResult = 4,
};

}  // namespace pdu::protocol
