#include "protocol/ZPDUProtocolHandling.h"

#include <algorithm>
#include <cstring>

#include "log/PduLog.h"
#include "protocol/ComParamNames.h"
#include "protocol/ReceivedRecord.h"

namespace pdu::protocol {

using log::LogMain;

namespace {

void PutU32(uint8_t* dst, uint32_t value) {
  dst[0] = static_cast<uint8_t>(value);
  dst[1] = static_cast<uint8_t>(value >> 8);
  dst[2] = static_cast<uint8_t>(value >> 16);
  dst[3] = static_cast<uint8_t>(value >> 24);
}

uint8_t* NewU32Bytes(uint32_t value) {
  uint8_t* bytes = new uint8_t[4];
  PutU32(bytes, value);
  return bytes;
}

// A negative response (7F, service, code) at position pos of the data.
bool NegativeAt(const uint8_t* d, uint32_t pos, uint8_t code) { return d[pos] == 0x7F && d[pos + 2] == code; }

// The three places a negative response can stand in an answer: at the
// start, after a one-byte header (length byte) and after a three-byte
// header (format, target, source).
bool NegativeResponse(const uint8_t* d, uint8_t code, bool allPositions) {
  if (NegativeAt(d, 0, code)) return true;
  return allPositions && (NegativeAt(d, 3, code) || NegativeAt(d, 1, code));
}

// Extra zero bytes after the data: the tests above read d[0]..d[5] of any
// answer, also of a short one.
constexpr uint32_t kDataSlack = 10;

}  // namespace

// Base: all positions, every log line, 0xC0 timestamps, no length check.
// K-line: the base, except that a record without its five words carries
// no answer. CAN transports: five words and at least the 4-byte
// identifier, which is stripped; the service identifier is always the
// first payload byte.
// clang-format off
// Columns: minLength, then the "------recv data ", "data len", "i am 7f xx" and
// "pdu_result_data" lines, stripIdentifier, allPositions, timestampValue.
const ZPDUProtocolHandling::ResponseRules ZPDUProtocolHandling::kBaseRules    {0,                      true,  true,  true,  true,  false, true,  0xC0};
const ZPDUProtocolHandling::ResponseRules ZPDUProtocolHandling::kKLineRules   {kRecordHeaderBytes,     true,  true,  true,  true,  false, true,  0xC0};
const ZPDUProtocolHandling::ResponseRules ZPDUProtocolHandling::kIso15765Rules{kRecordHeaderBytes + 4, false, true,  true,  false, true,  false, 0xC0};
const ZPDUProtocolHandling::ResponseRules ZPDUProtocolHandling::kTp20Rules    {kRecordHeaderBytes + 4, false, false, false, false, true,  false, 0};
const ZPDUProtocolHandling::ResponseRules ZPDUProtocolHandling::kTp16Rules    {kRecordHeaderBytes + 4, false, false, false, false, true,  false, 0xC0};
// clang-format on

ZPDUProtocolHandling::ZPDUProtocolHandling() : LinkComParamSet(std::make_unique<::pdu::protocol::LinkComParamSet>()) {}

ZPDUProtocolHandling::~ZPDUProtocolHandling() = default;

void ZPDUProtocolHandling::setRequestAddrMode(uint32_t, uint32_t) {}

uint32_t ZPDUProtocolHandling::buildRequest(const uint8_t* src, uint32_t len, uint8_t* dst) {
  return buildRequestWith(src, len, dst, nullptr, false);
}

int32_t ZPDUProtocolHandling::onNegativeResponse(const uint8_t*, uint32_t) { return -1; }

ResponseClass ZPDUProtocolHandling::parseResponse(const uint8_t* record, uint32_t length, uint32_t* flags,
                                                  PDU_RESULT_DATA* result) {
  return handleResponse(record, length, flags, result, kBaseRules, BaseTiming);
}

uint32_t ZPDUProtocolHandling::getDefaultTimeout() {
  // parseResponse resets CurrentTimeout at every answer; each SENDRECV
  // that saw none waits 200 ms longer than the one before.
  uint32_t timeout = BaseTiming.CurrentTimeout.fetch_add(200) + 200;
  LogMain("defaulttimeout = %d", static_cast<int>(timeout));
  return timeout;
}

uint32_t ZPDUProtocolHandling::getStartTimeout() {
  LogMain("starttimeout = %d", 2000);
  return 2000;
}

bool ZPDUProtocolHandling::setcomparamData_var(const char* name, uint32_t value) {
  return LinkComParamSet->setcomparamData_var(name, value);
}

bool ZPDUProtocolHandling::changecomparamData_var(const char* name, uint32_t value) {
  return LinkComParamSet->changecomparamData_var(name, value);
}

bool ZPDUProtocolHandling::setComparamItem(PDU_PARAM_ITEM item) { return LinkComParamSet->setComparamItem(item); }

bool ZPDUProtocolHandling::setRscData(const PDU_RSC_DATA* rsc) { return LinkComParamSet->setRscData(rsc); }

bool ZPDUProtocolHandling::getRscData(PDU_RSC_DATA* out) { return LinkComParamSet->getRscData(out); }

bool ZPDUProtocolHandling::setCllCreateFlag(const PDU_FLAG_DATA* flags) {
  return LinkComParamSet->setCllCreateFlag(flags);
}

bool ZPDUProtocolHandling::getCllCreateFlag(PDU_FLAG_DATA* out) { return LinkComParamSet->getCllCreateFlag(out); }

bool ZPDUProtocolHandling::setUniqueRespData(PDU_UNIQUE_RESP_ID_TABLE_ITEM table) {
  return LinkComParamSet->setUniqueRespData(table);
}

void ZPDUProtocolHandling::clearComparam_var() { LinkComParamSet->clearComparam_var(); }

void ZPDUProtocolHandling::applyTimingComparam() {
  for (const auto& kept : LinkComParamSet->comparamItems()) {
    const PDU_PARAM_ITEM& item = kept.item();
    if (item.ComParamDataType == PDU_PT_STRUCTFIELD) continue;
    std::string name = ComParamShortName(item.ComParamId);
    if (name == "CP_P2Max") {
      // Microseconds to milliseconds, never below the initial wait; a
      // longer P2 counts from the next SENDRECV on, not only after an answer.
      BaseTiming.P2Timeout = std::max(kept.AsU32() / 1000, kBaseInitialTiming.p2);
      BaseTiming.CurrentTimeout = std::max(BaseTiming.CurrentTimeout.load(), BaseTiming.P2Timeout.load());
      LogMain("timeout = %d", static_cast<int>(BaseTiming.P2Timeout.load()));
    } else if (name == "CP_P2Star") {
      BaseTiming.m_7F78timeout = std::max(kept.AsU32() / 1000, kBaseInitialTiming.p2Star);
      LogMain("m_7F78timeout = %d", static_cast<int>(BaseTiming.m_7F78timeout.load()));
    }
  }
}

bool ZPDUProtocolHandling::findcomparamData_var(const char* name, uint32_t) {
  return LinkComParamSet->findcomparamData_var(name);
}

bool ZPDUProtocolHandling::onStartNoResponse() {
  LogMain("start if recv nothing need show time out");
  return false;
}

bool ZPDUProtocolHandling::isTP20() { return false; }

bool ZPDUProtocolHandling::hasChannelId() { return Tp20ChannelId != 0; }

// The bus handlers pass their ComParam tables through here while they build
// their block; the walk reads every entry and keeps nothing.
void ZPDUProtocolHandling::visitTable(const ComParamCodeTable* table) {
  if (table == nullptr) return;
  size_t visited = 0;
  for (auto it = table->begin(); it != table->end(); ++it) ++visited;
  (void)visited;
}

void ZPDUProtocolHandling::getcomparam_var() {
  LogMain("get comparam_var");
  ComparamSnapshot = LinkComParamSet->comparamVarMap();
}

std::vector<uint8_t> ZPDUProtocolHandling::lastRequest() const {
  std::lock_guard<std::mutex> lock(m_LastRequestLock);
  return std::vector<uint8_t>(LastRequest.begin(), LastRequest.begin() + LastRequestLen);
}

// --- shared response handling ---------------------------------------------

ResponseClass ZPDUProtocolHandling::handleResponse(const uint8_t* record, uint32_t length, uint32_t* flags,
                                                   PDU_RESULT_DATA* result, const ResponseRules& rules, TimingFields& timing) {
  if (rules.logRecvLine) LogMain("------recv data ");
  if (rules.logDataLen) LogMain("data len = %d", static_cast<int>(length));
  if (length < rules.minLength) {
    if (result != nullptr) result->NumDataBytes = 0;
    return ResponseClass::kNoResult;
  }
  if (result == nullptr || record == nullptr) return ResponseClass::kFinal;

  RecordView rec(record, length);
  if (flags != nullptr) *flags = rec.status();
  if (rec.status() & kRecordStatusNoResult) return ResponseClass::kFinal;

  const uint8_t* src = rec.data();
  uint32_t count = rec.numDataBytes();
  if (rules.stripIdentifier) {
    // The answer's CAN identifier is not part of the result.
    count = count >= 4 ? count - 4 : 0;
    src += 4;
  }

  result->RxFlag.NumFlagBytes = 4;
  result->RxFlag.pFlagData = NewU32Bytes(rec.rxFlag());
  result->UniqueRespIdentifier = rec.uniqueRespId();
  result->AcceptanceId = 0;
  result->TimestampFlags.NumFlagBytes = 4;
  result->TimestampFlags.pFlagData = NewU32Bytes(rules.timestampValue);
  result->TxMsgDoneTimestamp = 0;
  result->pExtraInfo = new PDU_EXTRA_INFO{0, 0, nullptr, nullptr};
  result->NumDataBytes = count;
  result->pDataBytes = new uint8_t[count + kDataSlack]();
  if (count != 0) std::memcpy(result->pDataBytes, src, count);

  timing.CurrentTimeout = timing.P2Timeout.load();

  const uint8_t* d = result->pDataBytes;
  ResponseClass cls = ResponseClass::kFinal;
  if (NegativeResponse(d, 0x78, rules.allPositions)) {
    if (rules.logPatterns) LogMain("i am 7f 78");
    onNegativeResponse(d, count);
    timing.CurrentTimeout = timing.m_7F78timeout.load();
    cls = ResponseClass::kPending;
  }
  if (NegativeResponse(d, 0x21, rules.allPositions)) {
    if (rules.logPatterns) LogMain("i am 7f 21");
    onNegativeResponse(d, count);
    cls = ResponseClass::kRepeat;  // a repeat outranks a pending answer
  }
  if (rules.logResultAddress) {
    LogMain("pdu_result_data = %d", static_cast<int>(reinterpret_cast<uintptr_t>(result)));
  }
  return cls;
}

uint32_t ZPDUProtocolHandling::buildRequestWith(const uint8_t* src, uint32_t len, uint8_t* dst, const uint32_t* prefix,
                                                bool keepLastRequest) {
  if (src == nullptr || len == 0 || dst == nullptr) return 0;
  uint32_t head = prefix != nullptr ? 4 : 0;
  if (len > kRequestBufferSize - head) return 0;  // would not fit the engine's buffer
  if (prefix != nullptr) PutU32(dst, *prefix);
  std::memcpy(dst + head, src, len);
  uint32_t total = head + len;
  if (keepLastRequest) {
    std::lock_guard<std::mutex> lock(m_LastRequestLock);
    std::memcpy(LastRequest.data(), dst, total);
    LastRequestLen = total;
  }
  return total;
}

void ZPDUProtocolHandling::applySnapshotTiming(TimingFields& timing, const InitialTiming& initial) {
  for (const auto& [name, value] : ComparamSnapshot) {
    if (name == "CP_P2Max") {
      timing.P2Timeout = std::max(value / 1000, initial.p2);
      timing.CurrentTimeout = std::max(value / 1000, initial.current);
      LogMain("timeout = %d", static_cast<int>(timing.P2Timeout.load()));
    } else if (name == "CP_P2Star") {
      timing.m_7F78timeout = std::max(value / 1000, initial.p2Star);
      LogMain("m_7F78timeout = %d", static_cast<int>(timing.m_7F78timeout.load()));
    }
  }
}

// --- ParamBlock -------------------------------------------------------------

void ZPDUProtocolHandling::clearParamBlock() { ParamBlock.fill(0); }

void ZPDUProtocolHandling::readIntoParamBlock(const char* shortName, uint32_t& field, uint32_t& n) {
  bool found = false;
  uint32_t code = LinkComParamSet->getComparamValue(shortName, &field, &found);
  // A ComParam the link does not carry, or one the VCI has no code for,
  // takes no pair and leaves no gap.
  if (!found || code == kNoVciCode) return;
  writePair(n, code, field);
  ++n;
}

void ZPDUProtocolHandling::writePair(uint32_t index, uint32_t code, uint32_t value) {
  if (index >= kParamBlockMaxPairs) return;
  writeBlockWord(4 + 8 * index, code);
  writeBlockWord(8 + 8 * index, value);
}

void ZPDUProtocolHandling::writeBlockWord(uint32_t offset, uint32_t value) {
  PutU32(ParamBlock.data() + offset, value);
}

uint32_t ZPDUProtocolHandling::blockWord(uint32_t offset) const {
  const uint8_t* p = ParamBlock.data() + offset;
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) | (static_cast<uint32_t>(p[2]) << 16) |
         (static_cast<uint32_t>(p[3]) << 24);
}

void ZPDUProtocolHandling::logParamBlock(uint32_t pairs) const {
  if (!log::MainLogOn()) return;
  if (pairs > kParamBlockMaxPairs) pairs = kParamBlockMaxPairs;
  LogMain("paramblock = %s", log::HexString(ParamBlock.data(), 4 + 8 * pairs, true).c_str());
}

}  // namespace pdu::protocol
