// Every exported function called the wrong way: null pointers, handles that
// name no link (0, above the last one handed out, beyond the tables, one
// destroyed), before the first PDUConstruct, after PDUDestruct, without a
// VCI, and twice in a row where that matters. Each call answers its
// decided status; none crashes (this file runs under ASan/UBSan in CI).
//
// The tables below are the decisions, one row per call and misuse:
//   handle checks of the link calls            PDU_ERR_INVALID_HANDLE (0x60)
//   a destroyed link's handle                  answers with the old handler
//                                              until the next PDUConstruct
//   null item/output pointers                  PDU_ERR_INVALID_PARAMETERS (0x50)
//   PDUGetEventItem of a link without events   PDU_ERR_EVENT_QUEUE_EMPTY (0x71)
//   calls that never check (queries, locks)    PDU_STATUS_NOERROR
//   senders without a VCI                      0x11; the two readings 0x01
#include <functional>

#include "support/SessionFixture.h"
#include "support/ModuleProbe.h"
#include "engine/EngineThread.h"
#include "mdf/ObjectIds.h"

namespace pdu::reliability {
using namespace pdu::test;
namespace {

struct MisuseCase {
  std::string call;
  std::function<T_PDU_ERROR()> run;
  T_PDU_ERROR expected;
};

void RunTable(const std::vector<MisuseCase>& table, const std::string& state) {
  for (const MisuseCase& c : table) {
    EXPECT_EQ(c.run(), c.expected) << c.call << " (" << state << ")";
  }
}

// Calls that take an hCLL, with a handle that names no link. Valid
// pointers everywhere, so only the handle is wrong.
std::vector<MisuseCase> BadHandleCases(uint32_t h) {
  static uint32_t value = 5;
  static PDU_PARAM_ITEM item{PDU_IT_PARAM, 1, PDU_PT_UNUM32, PDU_PC_TIMING, &value};
  static PDU_UNIQUE_RESP_ID_TABLE_ITEM table{PDU_IT_UNIQUE_RESP_ID_TABLE, 0, nullptr};
  static uint8_t request[] = {0x3E, 0x00};
  const std::string hs = " hCLL=" + std::to_string(h);
  return {
      {"PDUDestroyComLogicalLink" + hs, [h] { return PDUDestroyComLogicalLink(kMod, h); }, PDU_ERR_INVALID_HANDLE},
      {"PDUConnect" + hs, [h] { return PDUConnect(kMod, h); }, PDU_ERR_INVALID_HANDLE},
      {"PDUDisconnect" + hs, [h] { return PDUDisconnect(kMod, h); }, PDU_ERR_INVALID_HANDLE},
      {"PDUGetComParam" + hs,
       [h] {
         PDU_PARAM_ITEM* out = nullptr;
         const T_PDU_ERROR s = PDUGetComParam(kMod, h, 1, &out);
         EXPECT_EQ(out, nullptr);
         return s;
       },
       PDU_ERR_INVALID_HANDLE},
      {"PDUSetComParam" + hs, [h] { return PDUSetComParam(kMod, h, &item); }, PDU_ERR_INVALID_HANDLE},
      {"PDUGetUniqueRespIdTable" + hs,
       [h] {
         PDU_UNIQUE_RESP_ID_TABLE_ITEM* out = nullptr;
         const T_PDU_ERROR s = PDUGetUniqueRespIdTable(kMod, h, &out);
         EXPECT_EQ(out, nullptr);
         return s;
       },
       PDU_ERR_INVALID_HANDLE},
      {"PDUSetUniqueRespIdTable" + hs, [h] { return PDUSetUniqueRespIdTable(kMod, h, &table); },
       PDU_ERR_INVALID_HANDLE},
      {"PDUStartComPrimitive" + hs,
       [h] {
         uint32_t hCoP = 0xABCD;
         const T_PDU_ERROR s =
             PDUStartComPrimitive(kMod, h, PDU_COPT_SENDRECV, 2, request, nullptr, nullptr, &hCoP);
         EXPECT_EQ(hCoP, 0xABCDu) << "no handle spent";
         return s;
       },
       PDU_ERR_INVALID_HANDLE},
      {"PDUGetEventItem" + hs,
       [h] {
         PDU_EVENT_ITEM* out = nullptr;
         return PDUGetEventItem(kMod, h, &out);
       },
       PDU_ERR_EVENT_QUEUE_EMPTY},
      {"PDUCancelComPrimitive" + hs, [h] { return PDUCancelComPrimitive(kMod, h, 1); }, PDU_STATUS_NOERROR},
      {"PDULockResource" + hs, [h] { return PDULockResource(kMod, h, 0); }, PDU_STATUS_NOERROR},
      {"PDUUnlockResource" + hs, [h] { return PDUUnlockResource(kMod, h, 0); }, PDU_STATUS_NOERROR},
      {"PDUGetStatus" + hs,
       [h] {
         T_PDU_STATUS status = 0;
         UNUM32 ts = 0, extra = 0;
         return PDUGetStatus(kMod, h, 7, &status, &ts, &extra);
       },
       PDU_STATUS_NOERROR},
      {"PDUGetLastError" + hs,
       [h] {
         T_PDU_ERR_EVT code = 0;
         UNUM32 cop = 0, ts = 0, extra = 0;
         return PDUGetLastError(kMod, h, &code, &cop, &ts, &extra);
       },
       PDU_STATUS_NOERROR},
  };
}

// Null pointers in the calls that take no link.
std::vector<MisuseCase> ModuleNullPointerCases() {
  return {
      {"PDUGetModuleIds(NULL)", [] { return PDUGetModuleIds(nullptr); }, PDU_ERR_INVALID_PARAMETERS},
      {"PDUGetVersion(NULL)", [] { return PDUGetVersion(kMod, nullptr); }, PDU_STATUS_NOERROR},
      {"PDUGetStatus(NULL status)",
       [] {
         UNUM32 a = 0, b = 0;
         return PDUGetStatus(kMod, 0, 0, nullptr, &a, &b);
       },
       PDU_ERR_INVALID_PARAMETERS},
      {"PDUGetStatus(NULL timestamp)",
       [] {
         T_PDU_STATUS s = 0;
         UNUM32 b = 0;
         return PDUGetStatus(kMod, 0, 0, &s, nullptr, &b);
       },
       PDU_ERR_INVALID_PARAMETERS},
      {"PDUGetStatus(NULL extra info)",
       [] {
         T_PDU_STATUS s = 0;
         UNUM32 a = 0;
         return PDUGetStatus(kMod, 0, 0, &s, &a, nullptr);
       },
       PDU_ERR_INVALID_PARAMETERS},
      {"PDUGetLastError(all NULL)", [] { return PDUGetLastError(kMod, 0, nullptr, nullptr, nullptr, nullptr); },
       PDU_STATUS_NOERROR},
      {"PDUGetResourceStatus(NULL)", [] { return PDUGetResourceStatus(nullptr); }, PDU_STATUS_NOERROR},
      {"PDUGetResourceIds(NULL, NULL)", [] { return PDUGetResourceIds(kMod, nullptr, nullptr); },
       PDU_STATUS_NOERROR},
      {"PDUGetConflictingResources(NULL, NULL)", [] { return PDUGetConflictingResources(1001, nullptr, nullptr); },
       PDU_STATUS_NOERROR},
      {"PDUGetTimestamp(NULL)", [] { return PDUGetTimestamp(kMod, nullptr); }, PDU_STATUS_NOERROR},
      {"PDUGetObjectId(NULL name)",
       [] {
         UNUM32 id = 0;
         return PDUGetObjectId(PDU_OBJT_PROTOCOL, nullptr, &id);
       },
       PDU_ERR_INVALID_PARAMETERS},
      {"PDUGetObjectId(NULL id)",
       [] { return PDUGetObjectId(PDU_OBJT_PROTOCOL, const_cast<CHAR8*>("ISO_15765_3_on_ISO_15765_2"), nullptr); },
       PDU_ERR_INVALID_PARAMETERS},
      {"PDUCreateComLogicalLink(NULL phCLL)",
       [] { return PDUCreateComLogicalLink(kMod, nullptr, kCanResource, nullptr, nullptr, nullptr); },
       PDU_ERR_INVALID_PARAMETERS},
      {"PDUDestroyItem(NULL)", [] { return PDUDestroyItem(nullptr); }, PDU_ERR_INVALID_PARAMETERS},
  };
}

// Null pointers in the calls on a link; link is a live link's handle (the
// handle is checked first).
std::vector<MisuseCase> LinkNullPointerCases(uint32_t link) {
  static uint8_t request[] = {0x3E, 0x00};
  return {
      {"PDUGetComParam(NULL item)", [link] { return PDUGetComParam(kMod, link, 1, nullptr); },
       PDU_ERR_INVALID_PARAMETERS},
      {"PDUSetComParam(NULL item)", [link] { return PDUSetComParam(kMod, link, nullptr); },
       PDU_ERR_INVALID_PARAMETERS},
      {"PDUGetUniqueRespIdTable(NULL)", [link] { return PDUGetUniqueRespIdTable(kMod, link, nullptr); },
       PDU_ERR_INVALID_PARAMETERS},
      {"PDUSetUniqueRespIdTable(NULL)", [link] { return PDUSetUniqueRespIdTable(kMod, link, nullptr); },
       PDU_ERR_INVALID_PARAMETERS},
      {"PDUStartComPrimitive(NULL phCoP)",
       [link] { return PDUStartComPrimitive(kMod, link, PDU_COPT_SENDRECV, 2, request, nullptr, nullptr, nullptr); },
       PDU_ERR_INVALID_PARAMETERS},
      {"PDUStartComPrimitive(NULL data, size 2)",
       [link] {
         uint32_t h = 0;
         return PDUStartComPrimitive(kMod, link, PDU_COPT_SENDRECV, 2, nullptr, nullptr, nullptr, &h);
       },
       PDU_ERR_INVALID_PARAMETERS},
      {"PDUStartComPrimitive(size 4093)",
       [link] {
         static uint8_t big[5000] = {};
         uint32_t h = 0;
         return PDUStartComPrimitive(kMod, link, PDU_COPT_SENDRECV, 4093, big, nullptr, nullptr, &h);
       },
       PDU_ERR_INVALID_PARAMETERS},
      {"PDUStartComPrimitive(size 0xFFFFFFFF)",
       [link] {
         uint32_t h = 0;
         return PDUStartComPrimitive(kMod, link, PDU_COPT_SENDRECV, 0xFFFFFFFFu, request, nullptr, nullptr, &h);
       },
       PDU_ERR_INVALID_PARAMETERS},
      {"PDUGetEventItem(NULL)", [link] { return PDUGetEventItem(kMod, link, nullptr); },
       PDU_ERR_INVALID_PARAMETERS},
      {"PDURegisterEventCallback(NULL callback)", [link] { return PDURegisterEventCallback(kMod, link, nullptr); },
       PDU_STATUS_NOERROR},
  };
}

// Values that are wrong inside otherwise valid arguments: null value
// pointers with a type that has a value, lengths without arrays, tables
// claiming entries they do not have. They are taken as empty, never read.
std::vector<MisuseCase> HollowValueCases(uint32_t link) {
  return {
      {"PDUSetComParam(UNUM32 without value)",
       [link] {
         PDU_PARAM_ITEM item{PDU_IT_PARAM, IdOf("CP_P2Max"), PDU_PT_UNUM32, PDU_PC_TIMING, nullptr};
         return PDUSetComParam(kMod, link, &item);
       },
       PDU_STATUS_NOERROR},
      {"PDUSetComParam(byte field, ActLen 200, no array)",
       [link] {
         PDU_PARAM_BYTEFIELD_DATA field{255, 200, nullptr};
         PDU_PARAM_ITEM item{PDU_IT_PARAM, IdOf("CP_TesterPresentMessage"), PDU_PT_BYTEFIELD, PDU_PC_COM, &field};
         return PDUSetComParam(kMod, link, &item);
       },
       PDU_STATUS_NOERROR},
      {"PDUSetComParam(long field, ActLen 50, no array)",
       [link] {
         PDU_PARAM_LONGFIELD_DATA field{64, 50, nullptr};
         PDU_PARAM_ITEM item{PDU_IT_PARAM, 9999, PDU_PT_LONGFIELD, PDU_PC_COM, &field};
         return PDUSetComParam(kMod, link, &item);
       },
       PDU_STATUS_NOERROR},
      {"PDUSetUniqueRespIdTable(3 entries, no array)",
       [link] {
         PDU_UNIQUE_RESP_ID_TABLE_ITEM table{PDU_IT_UNIQUE_RESP_ID_TABLE, 3, nullptr};
         return PDUSetUniqueRespIdTable(kMod, link, &table);
       },
       PDU_STATUS_NOERROR},
      {"PDUSetUniqueRespIdTable(entry with 4 items, no array)",
       [link] {
         PDU_ECU_UNIQUE_RESP_DATA entry{1, 4, nullptr};
         PDU_UNIQUE_RESP_ID_TABLE_ITEM table{PDU_IT_UNIQUE_RESP_ID_TABLE, 1, &entry};
         return PDUSetUniqueRespIdTable(kMod, link, &table);
       },
       PDU_STATUS_NOERROR},
      {"PDUCreateComLogicalLink(flag bytes 8, no array)",
       [] {
         PDU_FLAG_DATA flags{8, nullptr};
         uint32_t h = 0;
         return PDUCreateComLogicalLink(kMod, nullptr, kCanResource, nullptr, &h, &flags);
       },
       PDU_STATUS_NOERROR},
      {"PDUCreateComLogicalLink(rsc data, 5 pins, no array)",
       [] {
         PDU_RSC_DATA rsc{IdOf("ISO_11898_2_DWCAN"), IdOf("ISO_15765_3_on_ISO_15765_2"), 5, nullptr};
         uint32_t h = 0;
         return PDUCreateComLogicalLink(kMod, &rsc, 0, nullptr, &h, nullptr);
       },
       PDU_STATUS_NOERROR},
      {"PDUStartComPrimitive(TxFlag 16 bytes, no array; no control data)",
       [link] {
         PDU_COP_CTRL_DATA ctrl{};
         ctrl.TxFlag.NumFlagBytes = 16;
         uint32_t h = 0;
         return PDUStartComPrimitive(kMod, link, PDU_COPT_UPDATEPARAM, 0, nullptr, &ctrl, nullptr, &h);
       },
       PDU_STATUS_NOERROR},
      {"PDUStartComPrimitive(NULL control data)",
       [link] {
         uint32_t h = 0;
         return PDUStartComPrimitive(kMod, link, PDU_COPT_UPDATEPARAM, 0, nullptr, nullptr, nullptr, &h);
       },
       PDU_STATUS_NOERROR},
      {"PDUStartComPrimitive(unknown CoPType)",
       [link] {
         uint32_t h = 0;
         return PDUStartComPrimitive(kMod, link, 0x9999, 0, nullptr, nullptr, nullptr, &h);
       },
       PDU_STATUS_NOERROR},
      {"PDUGetObjectId(unknown type, unknown name)",
       [] {
         UNUM32 id = 77;
         const T_PDU_ERROR s = PDUGetObjectId(0xDEAD, const_cast<CHAR8*>("no such object"), &id);
         EXPECT_EQ(id, 77u) << "left as the caller set it";
         return s;
       },
       PDU_STATUS_NOERROR},
      {"PDUIoCtl(unknown id)",
       [] {
         PDU_DATA_ITEM* out = nullptr;
         return PDUIoCtl(kMod, 0, 0xFFFFFFFFu, nullptr, &out);
       },
       PDU_STATUS_NOERROR},
  };
}

// The two readings with a null output pointer (only nameable once the
// module description is loaded).
std::vector<MisuseCase> ReadingCases() {
  return {
      {"PDUIoCtl(READ_VBATT, NULL output)",
       [] { return PDUIoCtl(kMod, 0, IdOf("PDU_IOCTL_READ_VBATT"), nullptr, nullptr); }, PDU_ERR_INVALID_PARAMETERS},
      {"PDUIoCtl(READ_IGNITION_SENSE_STATE, NULL output)",
       [] { return PDUIoCtl(kMod, 0, IdOf("PDU_IOCTL_READ_IGNITION_SENSE_STATE"), nullptr, nullptr); },
       PDU_ERR_INVALID_PARAMETERS},
  };
}

// A reading whose exchange cannot happen: 0x01 with the item handed over,
// value 0.
void ExpectFailedReading(const char* name) {
  PDU_DATA_ITEM* out = nullptr;
  EXPECT_EQ(PDUIoCtl(kMod, 0, IdOf(name), nullptr, &out), PDU_ERR_FCT_FAILED) << name;
  ASSERT_NE(out, nullptr) << name;
  EXPECT_EQ(*static_cast<uint32_t*>(out->pData), 0u) << name;
  EXPECT_EQ(PDUDestroyItem(reinterpret_cast<PDU_ITEM*>(out)), PDU_STATUS_NOERROR);
}

using ApiMisuse = HealthySessionTest;

TEST_F(ApiMisuse, BeforeTheFirstConstructEveryCallAnswersAndTakesTheLock) {
  // Nothing constructed in this process yet: the lock exists from library
  // load on, the tables are empty, no VCI.
  for (uint32_t h : {0u, 1u, 1024u, 4096u, 0xFFFFFFFFu}) RunTable(BadHandleCases(h), "before construct");
  RunTable(ModuleNullPointerCases(), "before construct");
  EXPECT_EQ(PDUModuleConnect(kMod), PDU_STATUS_NOERROR);
  EXPECT_EQ(PDUModuleDisconnect(kMod), PDU_ERR_COMM_PC_TO_VCI_FAILED);
  EXPECT_EQ(PDURegisterEventCallback(kMod, 5000, nullptr), PDU_STATUS_NOERROR);
  // A link made before any construction is numbered but has no handler
  // (no module description yet): it is not a link for the handle checks.
  uint32_t h = 0;
  EXPECT_EQ(PDUCreateComLogicalLink(kMod, nullptr, kCanResource, nullptr, &h, nullptr), PDU_STATUS_NOERROR);
  EXPECT_EQ(h, 1u);
  EXPECT_EQ(PDUConnect(kMod, h), PDU_ERR_INVALID_HANDLE);
  EXPECT_EQ(PDUDestruct(), PDU_ERR_COMM_PC_TO_VCI_FAILED);
  EXPECT_EQ(PDUDestruct(), PDU_ERR_COMM_PC_TO_VCI_FAILED);
}

TEST_F(ApiMisuse, ConstructedEveryBadHandleAndNullPointerIsRefused) {
  Construct();
  uint32_t link = 0, destroyed = 0;
  ASSERT_EQ(PDUCreateComLogicalLink(kMod, nullptr, kCanResource, nullptr, &link, nullptr), PDU_STATUS_NOERROR);
  ASSERT_EQ(PDUCreateComLogicalLink(kMod, nullptr, kCanResource, nullptr, &destroyed, nullptr), PDU_STATUS_NOERROR);
  ASSERT_EQ(PDUDestroyComLogicalLink(kMod, destroyed), PDU_STATUS_NOERROR);
  // A resource id the module description does not know gives a numbered
  // link without a handler: no link for the handle checks either.
  uint32_t noHandler = 0;
  ASSERT_EQ(PDUCreateComLogicalLink(kMod, nullptr, 4242, nullptr, &noHandler, nullptr), 0u);
  const size_t framesBefore = vci_.FrameCount();
  const size_t jobsBefore = test::QueuedJobs();
  for (uint32_t h : {0u, noHandler, noHandler + 1, 1023u, 1024u, 4095u, 4096u, 0x7FFFFFFFu, 0xFFFFFFFFu}) {
    RunTable(BadHandleCases(h), "constructed");
  }
  RunTable(ModuleNullPointerCases(), "constructed");
  RunTable(LinkNullPointerCases(link), "constructed");
  EXPECT_EQ(vci_.FrameCount(), framesBefore) << "a refused call sends nothing";
  EXPECT_EQ(test::QueuedJobs(), jobsBefore) << "and queues nothing";
  // A destroyed link keeps its handler until the next construction: its
  // handle still answers, and its handle is never handed out again.
  EXPECT_EQ(PDUConnect(kMod, destroyed), PDU_STATUS_NOERROR);
  EXPECT_EQ(PDUDestroyComLogicalLink(kMod, destroyed), PDU_STATUS_NOERROR);
  uint32_t next = 0;
  ASSERT_EQ(PDUCreateComLogicalLink(kMod, nullptr, kCanResource, nullptr, &next, nullptr), PDU_STATUS_NOERROR);
  EXPECT_EQ(next, noHandler + 1);
  RunTable(HollowValueCases(link), "constructed");
  RunTable(ReadingCases(), "constructed");
  // The link survived all of it.
  EXPECT_EQ(PDUConnect(kMod, link), PDU_STATUS_NOERROR);
}

// (The port and threads after PDUConstruct twice:
// ConstructTest.SecondConstructReopensThePortWithOneEngineThread.)
TEST_F(ApiMisuse, CallsTwiceInARowGiveTheDecidedAnswers) {
  Construct();
  uint32_t first = 0;
  ASSERT_EQ(PDUCreateComLogicalLink(kMod, nullptr, kCanResource, nullptr, &first, nullptr), PDU_STATUS_NOERROR);
  ASSERT_EQ(PDUConstruct(nullptr, nullptr), PDU_STATUS_NOERROR);
  EXPECT_EQ(PDUConnect(kMod, first), PDU_ERR_INVALID_HANDLE) << "links of the first construction are gone";
  uint32_t h = 0;
  ASSERT_EQ(PDUCreateComLogicalLink(kMod, nullptr, kCanResource, nullptr, &h, nullptr), PDU_STATUS_NOERROR);
  EXPECT_EQ(PDURegisterEventCallback(kMod, h, ItemCollector::Callback), PDU_STATUS_NOERROR);
  EXPECT_EQ(PDURegisterEventCallback(kMod, h, ItemCollector::Callback), PDU_STATUS_NOERROR);
  EXPECT_EQ(PDUConnect(kMod, h), PDU_STATUS_NOERROR);
  EXPECT_EQ(PDUConnect(kMod, h), PDU_STATUS_NOERROR);
  EXPECT_EQ(PDUModuleConnect(kMod), PDU_STATUS_NOERROR);
  EXPECT_EQ(PDUModuleConnect(kMod), PDU_STATUS_NOERROR);
  EXPECT_EQ(PDUDisconnect(kMod, h), PDU_STATUS_NOERROR);
  EXPECT_EQ(PDUDisconnect(kMod, h), PDU_STATUS_NOERROR);
  EXPECT_EQ(PDUDestroyComLogicalLink(kMod, h), PDU_STATUS_NOERROR);
  EXPECT_EQ(PDUDestroyComLogicalLink(kMod, h), PDU_STATUS_NOERROR);
  EXPECT_EQ(PDUModuleDisconnect(kMod), PDU_STATUS_NOERROR);
  EXPECT_EQ(PDUModuleDisconnect(kMod), PDU_STATUS_NOERROR);
  EXPECT_EQ(PDUDestruct(), PDU_STATUS_NOERROR);
  EXPECT_FALSE(engine::EngineThreadRunning());
  EXPECT_EQ(PDUDestruct(), PDU_ERR_COMM_PC_TO_VCI_FAILED);
}

TEST_F(ApiMisuse, AfterDestructNothingIsSentAndBadHandlesAreStillRefused) {
  Construct();
  uint32_t link = 0;
  ASSERT_EQ(PDUCreateComLogicalLink(kMod, nullptr, kCanResource, nullptr, &link, nullptr), PDU_STATUS_NOERROR);
  ASSERT_EQ(PDUDestruct(), PDU_STATUS_NOERROR);
  const size_t framesAtDestruct = vci_.FrameCount();

  EXPECT_EQ(PDUDestruct(), PDU_ERR_COMM_PC_TO_VCI_FAILED);
  for (uint32_t h : {0u, link + 1, 0xFFFFFFFFu}) RunTable(BadHandleCases(h), "after destruct");
  RunTable(ModuleNullPointerCases(), "after destruct");
  RunTable(LinkNullPointerCases(link), "after destruct");
  RunTable(ReadingCases(), "after destruct");
  EXPECT_EQ(PDUModuleDisconnect(kMod), PDU_ERR_COMM_PC_TO_VCI_FAILED);
  ExpectFailedReading("PDU_IOCTL_READ_VBATT");
  ExpectFailedReading("PDU_IOCTL_READ_IGNITION_SENSE_STATE");
  // The link tables live until the next construction: the link still
  // answers, and sends nothing.
  EXPECT_EQ(PDUConnect(kMod, link), PDU_STATUS_NOERROR);
  EXPECT_EQ(PDUDisconnect(kMod, link), PDU_STATUS_NOERROR);
  EXPECT_EQ(vci_.FrameCount(), framesAtDestruct);
}

// (The other calls without a VCI: ConstructTest, ComLogicalLink.WithoutAVci...,
// and the readings after PDUDestruct above.)
TEST_F(ApiMisuse, WithoutAVciTheSendersFailAndNothingHangs) {
  UseNoVci();
  ASSERT_EQ(PDUConstruct(nullptr, nullptr), PDU_STATUS_NOERROR);
  uint32_t link = 0;
  ASSERT_EQ(PDUCreateComLogicalLink(kMod, nullptr, kCanResource, nullptr, &link, nullptr), PDU_STATUS_NOERROR);
  RunTable(ModuleNullPointerCases(), "no VCI");
  RunTable(LinkNullPointerCases(link), "no VCI");
  RunTable(HollowValueCases(link), "no VCI");
  RunTable(ReadingCases(), "no VCI");
  uint8_t request[] = {0x3E, 0x00};
  uint32_t hCoP = 0;
  EXPECT_EQ(PDUStartComPrimitive(kMod, link, PDU_COPT_SENDRECV, 2, request, nullptr, nullptr, &hCoP),
            PDU_STATUS_NOERROR);
  EXPECT_NE(hCoP, 0u);
}

}  // namespace
}  // namespace pdu::reliability
