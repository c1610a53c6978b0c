// Shared pieces of the protocol handler tests: a small module description
// that names the ComParams the handlers read, records as the receive path
// delivers them, and readers for ParamBlock and results.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "log/PduLog.h"
#include "mdf/MdfTables.h"
#include "mdf/ObjectIds.h"
#include "protocol/CreateProtocolHandler.h"
#include "protocol/ResultData.h"
#include "protocol/ZPDUProtocolHandling.h"
#include "support/TempHome.h"

namespace pdu::protocol::test {

// Every ComParam a handler reads by name, with object ids from 1000 on.
inline const std::vector<std::string>& KnownComParams() {
  static const std::vector<std::string> names = {
      "CP_P2Max", "CP_P2Star", "CP_BlockSize", "CP_CanFillerByteHandling", "CP_CanFillerByte",
      "CP_CanFuncReqExtAddr", "CP_CanFuncReqFormat", "CP_CanFuncReqId", "CP_CanPhysReqExtAddr",
      "CP_CanPhysReqFormat", "CP_CanPhysReqId", "CP_CanRespUSDTExtAddr", "CP_CanRespUUDTFormat",
      "CP_CanRespUSDTId", "CP_RequestAddrMode", "CP_Baudrate", "CP_TIdle", "CP_TInil", "CP_TWup", "CP_W1Max",
      "CP_W2Max", "CP_W3Max", "CP_W4Max", "CP_W4Min", "CP_P1Max", "CP_P3Min", "CP_P4Min",
      "CPM_VWTP_PhysReqIdSetup"};
  return names;
}

// A module description with a COMPARAM element per name (id 1000 + index),
// leaving out the names in `without`.
inline std::string MdfWithComParams(const std::vector<std::string>& without = {}) {
  std::string xml = "<MDF>\n";
  const auto& names = KnownComParams();
  for (size_t i = 0; i < names.size(); ++i) {
    if (std::find(without.begin(), without.end(), names[i]) != without.end()) continue;
    xml += "<COMPARAM EID=\"C" + std::to_string(i) + "\"><ID>" + std::to_string(1000 + i) + "</ID><SHORT_NAME>" +
           names[i] + "</SHORT_NAME><DATA_TYPE>PDU_PT_UNUM32</DATA_TYPE><CLASS>PDU_PC_TIMING</CLASS></COMPARAM>\n";
  }
  return xml + "</MDF>\n";
}

// Loads a module description text as PDUConstruct would.
inline void LoadMdf(const pdu::test::TempHome& home, const std::string& xml) {
  home.Write("MDF.xml", xml);
  ASSERT_TRUE(mdf::LoadMdfFile());
  mdf::LoadMdfObjects();
}

inline uint32_t IdOf(const char* shortName) {
  uint32_t id = 0;
  EXPECT_TRUE(mdf::ObjectIdByShortName(shortName, id)) << shortName;
  return id;
}

// Sets a UNUM32 ComParam on the link, as PDUSetComParam does.
inline void SetU32(ZPDUProtocolHandling& h, const char* shortName, uint32_t value) {
  PDU_PARAM_ITEM item{PDU_IT_PARAM, IdOf(shortName), PDU_PT_UNUM32, PDU_PC_TIMING, &value};
  h.setComparamItem(item);
}

// What the engine does at UPDATEPARAM before it queues the job.
inline void UpdateParam(ZPDUProtocolHandling& h) {
  h.getcomparam_var();
  h.applyTimingComparam();
}

inline void PutWord(std::vector<uint8_t>& v, uint32_t w) {
  for (int i = 0; i < 4; ++i) v.push_back(static_cast<uint8_t>(w >> (8 * i)));
}

// A received record: five words and the message bytes.
inline std::vector<uint8_t> Record(const std::vector<uint8_t>& data, uint32_t status = 0, uint32_t uniqueId = 0,
                                   uint32_t rxFlag = 0) {
  std::vector<uint8_t> r;  // 0x11223344: the passed-through word
  for (uint32_t w : {0x11223344u, uniqueId, rxFlag, status, static_cast<uint32_t>(data.size())}) PutWord(r, w);
  r.insert(r.end(), data.begin(), data.end());
  return r;
}

inline std::vector<uint8_t> Concat(std::vector<uint8_t> a, const std::vector<uint8_t>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

inline ResponseClass Parse(ZPDUProtocolHandling& h, const std::vector<uint8_t>& record, ResultDataPtr& result,
                           uint32_t* flags = nullptr) {
  result = MakeResultData();
  uint32_t dummy = 0;
  return h.parseResponse(record.data(), static_cast<uint32_t>(record.size()), flags ? flags : &dummy, result.get());
}

inline std::vector<uint8_t> DataOf(const PDU_RESULT_DATA& r) {
  if (r.pDataBytes == nullptr) return {};
  return std::vector<uint8_t>(r.pDataBytes, r.pDataBytes + r.NumDataBytes);
}

inline uint32_t WordAt(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) | (static_cast<uint32_t>(p[2]) << 16) |
         (static_cast<uint32_t>(p[3]) << 24);
}

inline uint32_t BlockWord(const ZPDUProtocolHandling& h, uint32_t offset) {
  return WordAt(h.paramBlock().data() + offset);
}

// The (code, value) pairs from byte 4 on, up to the first all-zero pair;
// also checks that everything after them is zero.
inline std::vector<std::pair<uint32_t, uint32_t>> PairsOf(const ZPDUProtocolHandling& h) {
  std::vector<std::pair<uint32_t, uint32_t>> pairs;
  uint32_t off = 4;
  for (; off + 8 <= kParamBlockSize; off += 8) {
    uint32_t code = BlockWord(h, off), value = BlockWord(h, off + 4);
    if (code == 0 && value == 0) break;
    pairs.emplace_back(code, value);
  }
  for (; off < kParamBlockSize; ++off) EXPECT_EQ(h.paramBlock()[off], 0) << "byte " << off;
  return pairs;
}

// Each test runs in its own process; this gives it a folder, the module
// description and, on request, the main log.
class HandlerTest : public ::testing::Test {
 protected:
  void SetUp() override { LoadMdf(home_, MdfWithComParams()); }
  void TearDown() override { log::LogCloseAll(); }

  void OpenLog() {
    home_.StartLog();
    ASSERT_TRUE(log::MainLogOn());
  }
  std::string MainLog() const { return pdu::test::ReadFile(log::CurrentLogFileNames().main); }

  std::unique_ptr<ZPDUProtocolHandling> Make(const char* protocol) {
    auto h = CreateProtocolHandler(protocol);
    EXPECT_NE(h, nullptr) << protocol;
    return h;
  }

  pdu::test::TempHome home_;
};

}  // namespace pdu::protocol::test
