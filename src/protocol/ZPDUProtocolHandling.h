// The protocol handler of one ComLogicalLink: an object of a class derived
// from ZPDUProtocolHandling, made by CreateProtocolHandler for the link's
// protocol and kept in LinkTable under its hCLL.
//
// The handler keeps the link's ComParams (LinkComParamSet), names the
// ComParams that identify ECU responses for its protocol, puts the request
// identifier (if any) in front of a request, turns each vehicle message
// into a PDU_RESULT_DATA with a ResponseClass, and gives the waits the
// engine uses (derived from CP_P2Max and CP_P2Star, kept in milliseconds).
//
// The 23 virtual operations are declared in slot order; the engine and the
// link code call them by name. Derived classes override the slots their
// protocol changes and keep the base behaviour for the rest.
//
// Threads: API threads call every operation while holding the ApiLock; the
// engine thread calls buildRequest, parseResponse, getStartTimeout and
// getDefaultTimeout without it while a ComPrimitive runs. So everything the
// engine thread reads and an API call may write at the same time (the
// waits, CllStatus, request identifiers) is atomic, and LastRequest, which
// both sides write, has its own small lock (a leaf: nothing is called while
// it is held).
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "pdu_api.h"
#include "protocol/LinkComParamSet.h"
#include "protocol/ResponseClass.h"

namespace pdu::protocol {

// ParamBlock: a u32 (0, or the pair count for the raw CAN, J1850 and KW71
// handlers), then up to 512 pairs (u32 VCI ComParam code, u32 value),
// little-endian; the rest is 0.
inline constexpr size_t kParamBlockSize = 4100;
inline constexpr uint32_t kParamBlockMaxPairs = 512;
// The request buffers of the engine and LastRequest hold this much.
inline constexpr uint32_t kRequestBufferSize = 4096;

// The ComParam short name -> VCI code tables that some parseComparam
// bodies walk with visitTable.
using ComParamCodeTable = std::map<std::string, uint32_t>;

class ZPDUProtocolHandling {
 public:
  ZPDUProtocolHandling();
  ZPDUProtocolHandling(const ZPDUProtocolHandling&) = delete;
  ZPDUProtocolHandling& operator=(const ZPDUProtocolHandling&) = delete;

  // --- slots 0..22 ---------------------------------------------------------
  // 0: reads the link's ComParams into ParamBlock and the handler's fields
  // (PDUConnect after the connect command; UPDATEPARAM).
  virtual void parseComparam() = 0;
  // 1: fills UniqueRespComparamMap (once, right after construction).
  virtual void initUniqueRespComparam() = 0;
  // 2: no caller.
  virtual void setRequestAddrMode(uint32_t mode, uint32_t value);
  // 3: writes the bytes that go to the VCI into dst (kRequestBufferSize
  // bytes) and returns their count; 0 for null/empty input or a request
  // that does not fit. Base: the request bytes unchanged.
  virtual uint32_t buildRequest(const uint8_t* src, uint32_t len, uint8_t* dst);
  // 4: called by parseResponse for a 7F xx 78 / 7F xx 21 answer; -1.
  virtual int32_t onNegativeResponse(const uint8_t* data, uint32_t len);
  // 5: turns one received record (see ReceivedRecord.h: pointer and the
  // received length) into *result (zero-filled by the caller; what is
  // allocated into it is released with FreeResultMembers, ResultData.h)
  // and classifies it. *flags receives the record's status bits.
  virtual ResponseClass parseResponse(const uint8_t* record, uint32_t length, uint32_t* flags, PDU_RESULT_DATA* result);
  // 6: the wait for a SENDRECV answer (ms), asked once before sending.
  virtual uint32_t getDefaultTimeout();
  // 7: the wait for a STARTCOMM/STOPCOMM answer (ms).
  virtual uint32_t getStartTimeout();
  // 8, 9: ComParam variables (forwarded to the set).
  virtual bool setcomparamData_var(const char* name, uint32_t value);
  virtual bool changecomparamData_var(const char* name, uint32_t value);
  // 10: PDUSetComParam and the MDF defaults: replace/append a deep copy.
  virtual bool setComparamItem(PDU_PARAM_ITEM item);
  // 11..14: resource data and creation flag (see LinkComParamSet.h for
  // ownership; getRscData answers false).
  virtual bool setRscData(const PDU_RSC_DATA* rsc);
  virtual bool getRscData(PDU_RSC_DATA* out);
  virtual bool setCllCreateFlag(const PDU_FLAG_DATA* flags);
  virtual bool getCllCreateFlag(PDU_FLAG_DATA* out);
  // 15: keeps a deep copy of the unique response identifier table.
  virtual bool setUniqueRespData(PDU_UNIQUE_RESP_ID_TABLE_ITEM table);
  // 16: empties ComparamVarMap (link creation).
  virtual void clearComparam_var();
  // 17: takes CP_P2Max / CP_P2Star into the waits (UPDATEPARAM, after
  // getcomparam_var). Base: from the link's items.
  virtual void applyTimingComparam();
  // 18: true when name is a ComParam variable; the u32 is not read.
  virtual bool findcomparamData_var(const char* name, uint32_t unused);
  // 19: no caller; false.
  virtual bool onStartNoResponse();
  // 20: true only for the TP2.0 handler (channel id, TP2.0 connect form).
  virtual bool isTP20();
  // 21: Tp20ChannelId != 0.
  virtual bool hasChannelId();
  // 22: walks a table and changes nothing.
  virtual void visitTable(const ComParamCodeTable* table);

  virtual ~ZPDUProtocolHandling();

  // Copies ComparamVarMap into ComparamSnapshot (UPDATEPARAM).
  void getcomparam_var();

  // --- state other rooms read or write --------------------------------------
  // PDU_CLLST_OFFLINE / ONLINE / COMM_STARTED; 0 on a new handler.
  std::atomic<uint32_t> CllStatus{0};
  // TP2.0 channel id, set by link creation for a TP2.0 link.
  std::atomic<uint32_t> Tp20ChannelId{0};

  // The link's ComParam store (the member has the class's name, hence the
  // qualified type).
  ::pdu::protocol::LinkComParamSet& comParamSet() { return *LinkComParamSet; }
  const ::pdu::protocol::LinkComParamSet& comParamSet() const { return *LinkComParamSet; }
  // ComParam id -> short name of the response-identification ComParams.
  const std::map<uint32_t, std::string>& uniqueRespComparamMap() const { return UniqueRespComparamMap; }
  const std::map<std::string, uint32_t>& comparamSnapshot() const { return ComparamSnapshot; }
  const std::array<uint8_t, kParamBlockSize>& paramBlock() const { return ParamBlock; }
  // A copy of the last request that buildRequest kept (ISO 14230, ISO
  // 15765 and TP2.0 keep theirs).
  std::vector<uint8_t> lastRequest() const;

 protected:
  // How a class reads vehicle messages; the shared steps live in
  // handleResponse.
  struct ResponseRules {
    uint32_t minLength;       // shorter records: kNoResult (0: no check)
    bool logRecvLine;         // "------recv data "
    bool logDataLen;          // "data len = %d"
    bool logPatterns;         // "i am 7f 78" / "i am 7f 21"
    bool logResultAddress;    // "pdu_result_data = %d"
    bool stripIdentifier;     // the first 4 data bytes are the CAN identifier
    bool allPositions;        // test after 0, 1 and 3 header bytes, else at 0 only
    uint32_t timestampValue;  // the u32 in TimestampFlags
  };
  // Base rules and those of the overriding classes.
  static const ResponseRules kBaseRules;   // base, KW, other buses
  static const ResponseRules kKLineRules;  // ISO 14230, ISO 9141
  static const ResponseRules kIso15765Rules;
  static const ResponseRules kTp20Rules;
  static const ResponseRules kTp16Rules;

  // A class's waits before any timing ComParam is applied (milliseconds).
  // A timing ComParam may lengthen a wait, never shorten it below these:
  // the module description's K-line default CP_P2Max of 50 ms, taken as
  // the whole wait, would give up long before a 10.4 kBd exchange ends.
  struct InitialTiming {
    uint32_t p2;       // P2Timeout
    uint32_t p2Star;   // m_7F78timeout
    uint32_t current;  // CurrentTimeout
    uint32_t start;    // StartTimeout
  };
  static constexpr InitialTiming kBaseInitialTiming{2000, 0, 2000, 2000};

  // The four waits (milliseconds). P2Timeout: normal wait for an answer
  // (CP_P2Max); m_7F78timeout: wait after a response-pending answer
  // (CP_P2Star); CurrentTimeout: the wait the next answer gets;
  // StartTimeout: the STARTCOMM wait of the K-line classes (the others
  // keep it and answer a constant). The base has one set (BaseTiming); a
  // class with waits of its own has a second (OwnTimingHandling), and the
  // base's then keep their initial values.
  struct TimingFields {
    explicit TimingFields(const InitialTiming& initial)
        : P2Timeout{initial.p2},
          m_7F78timeout{initial.p2Star},
          StartTimeout{initial.start},
          CurrentTimeout{initial.current} {}
    std::atomic<uint32_t> P2Timeout;
    std::atomic<uint32_t> m_7F78timeout;
    std::atomic<uint32_t> StartTimeout;
    std::atomic<uint32_t> CurrentTimeout;
  };

  ResponseClass handleResponse(const uint8_t* record, uint32_t length, uint32_t* flags, PDU_RESULT_DATA* result,
                               const ResponseRules& rules, TimingFields& timing);

  // buildRequest bodies: optionally a 4-byte little-endian identifier in
  // front, optionally kept in LastRequest.
  uint32_t buildRequestWith(const uint8_t* src, uint32_t len, uint8_t* dst, const uint32_t* prefix,
                            bool keepLastRequest);

  // applyTimingComparam of the classes with own waits: walks
  // ComparamSnapshot in key order for "CP_P2Max" (P2Timeout and
  // CurrentTimeout) and "CP_P2Star" (m_7F78timeout), microseconds to ms,
  // none below its initial value.
  void applySnapshotTiming(TimingFields& timing, const InitialTiming& initial);

  // ParamBlock building.
  void clearParamBlock();
  // Looks shortName up into field; appends pair n (code, field) and
  // advances n when the link carries it and the name has a VCI code.
  void readIntoParamBlock(const char* shortName, uint32_t& field, uint32_t& n);
  void writePair(uint32_t index, uint32_t code, uint32_t value);
  void writeBlockWord(uint32_t offset, uint32_t value);
  uint32_t blockWord(uint32_t offset) const;
  // The used part of ParamBlock as one hex line in the main log.
  void logParamBlock(uint32_t pairs) const;

  // --- fields, in declaration order ---------------------------------------
  std::array<uint8_t, kParamBlockSize> ParamBlock{};
  std::array<uint8_t, kRequestBufferSize> LastRequest{};  // guarded by m_LastRequestLock
  uint32_t LastRequestLen = 0;                            // guarded by m_LastRequestLock
  std::map<uint32_t, std::string> UniqueRespComparamMap;
  std::unique_ptr<::pdu::protocol::LinkComParamSet> LinkComParamSet;
  std::map<std::string, uint32_t> ComparamSnapshot;
  TimingFields BaseTiming{kBaseInitialTiming};

  mutable std::mutex m_LastRequestLock;
};

}  // namespace pdu::protocol
