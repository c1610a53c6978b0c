// The vehicle message that parseResponse reads: the record ReadVehicleData
// leaves in the device room's receive data. Five little-endian u32 words,
// then the message bytes:
//
//   offset  field
//    0      word passed through from the VCI (not read by the handlers)
//    4      UniqueRespIdentifier
//    8      receive flag word (RxFlag of the result)
//   12      status bits; value 2 set: the record carries no result
//   16      NumDataBytes
//   20      NumDataBytes message bytes
//
// The received length is what ReadVehicleData placed in the record
// (NumDataBytes + 20). The handlers take the record as a pointer and that
// length, so they do not depend on where the device room keeps it.
//
// RecordView never reads past the received length: a word outside it reads
// as 0, and a NumDataBytes that claims more bytes than arrived is cut to the
// bytes that did.
#pragma once

#include <cstddef>
#include <cstdint>

namespace pdu::protocol {

inline constexpr uint32_t kRecordHeaderBytes = 20;
inline constexpr uint32_t kRecordOffUniqueRespId = 4;
inline constexpr uint32_t kRecordOffRxFlag = 8;
inline constexpr uint32_t kRecordOffStatus = 12;
inline constexpr uint32_t kRecordOffNumDataBytes = 16;
// Status bit: the record carries no result.
inline constexpr uint32_t kRecordStatusNoResult = 2;

class RecordView {
 public:
  RecordView(const uint8_t* record, uint32_t length) : record_(record), length_(record ? length : 0) {}

  uint32_t Word(uint32_t offset) const {
    if (offset + 4 > length_) return 0;
    const uint8_t* p = record_ + offset;
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) | (static_cast<uint32_t>(p[2]) << 16) |
           (static_cast<uint32_t>(p[3]) << 24);
  }
  uint32_t uniqueRespId() const { return Word(kRecordOffUniqueRespId); }
  uint32_t rxFlag() const { return Word(kRecordOffRxFlag); }
  uint32_t status() const { return Word(kRecordOffStatus); }
  // The message bytes that are really there.
  uint32_t numDataBytes() const {
    uint32_t claimed = Word(kRecordOffNumDataBytes);
    uint32_t present = length_ > kRecordHeaderBytes ? length_ - kRecordHeaderBytes : 0;
    return claimed < present ? claimed : present;
  }
  const uint8_t* data() const { return record_ + kRecordHeaderBytes; }

 private:
  const uint8_t* record_;
  uint32_t length_;
};

}  // namespace pdu::protocol
