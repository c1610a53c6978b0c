// Every exported function called the wrong way: null pointers, handles that
// name no link (0, above the last one handed out, beyond the tables, one
// destroyed), before the first PDUConstruct, after PDUDestruct, without a
// VCI, and twice in a row where that matters. Each call answers its
// decided status; none crashes (this file runs under ASan/UBSan in CI).
//
// The tables below are the decisions, one row per call and misuse; a
// destroyed link's handle answers with the old handler until the next
// PDUConstruct. Statuses: 0x00 no error, 0x01 function failed, 0x11 no VCI,
// 0x50 invalid parameters, 0x60 invalid handle, 0x71 event queue empty.
#include <functional>

#include "support/SessionFixture.h"
#include "engine/EngineThread.h"

namespace pdu::reliability {
using namespace pdu::test;
namespace {

// What the rows' calls write to: reset before every row, so that a row of a
// refused call can prove it wrote nothing.
struct Outputs {
  PDU_PARAM_ITEM* param = nullptr;
  PDU_UNIQUE_RESP_ID_TABLE_ITEM* table = nullptr;
  PDU_EVENT_ITEM* event = nullptr;
  PDU_DATA_ITEM* data = nullptr;
  UNUM32 hCoP = 0xABCD, id = 77, a = 0, b = 0, c = 0;
  T_PDU_STATUS status = 0;
  T_PDU_ERR_EVT code = 0;
} o;

struct MisuseCase { const char* call; std::function<T_PDU_ERROR()> run; T_PDU_ERROR expected; };
// The row's call is its own name in a failure message.
#define ROW(call, expected) \
  MisuseCase { #call, [=] { return call; }, expected }

// untouched: the calls are refused before they write any output.
void RunTable(const std::vector<MisuseCase>& table, const std::string& state, bool untouched = false) {
  for (const MisuseCase& c : table) {
    o = Outputs{};
    EXPECT_EQ(c.run(), c.expected) << c.call << " (" << state << ")";
    if (!untouched) continue;
    EXPECT_EQ(o.param, nullptr) << c.call;
    EXPECT_EQ(o.table, nullptr) << c.call;
    EXPECT_EQ(o.event, nullptr) << c.call;
    EXPECT_EQ(o.hCoP, 0xABCDu) << c.call << ": no handle spent";
  }
}

uint32_t g_value = 5;
PDU_PARAM_ITEM g_item{PDU_IT_PARAM, 1, PDU_PT_UNUM32, PDU_PC_TIMING, &g_value};
PDU_UNIQUE_RESP_ID_TABLE_ITEM g_table{PDU_IT_UNIQUE_RESP_ID_TABLE, 0, nullptr};
uint8_t g_request[] = {0x3E, 0x00};
uint8_t g_big[5000] = {};

// Calls that take an hCLL, with a handle that names no link. Valid
// pointers everywhere, so only the handle is wrong.
std::vector<MisuseCase> BadHandleCases(uint32_t h) {
  return {
      ROW(PDUDestroyComLogicalLink(kMod, h), 0x60),
      ROW(PDUConnect(kMod, h), 0x60),
      ROW(PDUDisconnect(kMod, h), 0x60),
      ROW(PDUGetComParam(kMod, h, 1, &o.param), 0x60),
      ROW(PDUSetComParam(kMod, h, &g_item), 0x60),
      ROW(PDUGetUniqueRespIdTable(kMod, h, &o.table), 0x60),
      ROW(PDUSetUniqueRespIdTable(kMod, h, &g_table), 0x60),
      ROW(PDUStartComPrimitive(kMod, h, PDU_COPT_SENDRECV, 2, g_request, nullptr, nullptr, &o.hCoP), 0x60),
      ROW(PDUGetEventItem(kMod, h, &o.event), 0x71),
      ROW(PDUCancelComPrimitive(kMod, h, 1), 0x00),
      ROW(PDULockResource(kMod, h, 0), 0x00),
      ROW(PDUUnlockResource(kMod, h, 0), 0x00),
      ROW(PDUGetStatus(kMod, h, 7, &o.status, &o.a, &o.b), 0x00),
      ROW(PDUGetLastError(kMod, h, &o.code, &o.a, &o.b, &o.c), 0x00),
  };
}

// Null pointers in the calls that take no link.
std::vector<MisuseCase> ModuleNullPointerCases() {
  return {
      ROW(PDUGetModuleIds(nullptr), 0x50),
      ROW(PDUGetVersion(kMod, nullptr), 0x00),
      ROW(PDUGetStatus(kMod, 0, 0, nullptr, &o.a, &o.b), 0x50),
      ROW(PDUGetStatus(kMod, 0, 0, &o.status, nullptr, &o.b), 0x50),
      ROW(PDUGetStatus(kMod, 0, 0, &o.status, &o.a, nullptr), 0x50),
      ROW(PDUGetLastError(kMod, 0, nullptr, nullptr, nullptr, nullptr), 0x00),
      ROW(PDUGetResourceStatus(nullptr), 0x00),
      ROW(PDUGetResourceIds(kMod, nullptr, nullptr), 0x00),
      ROW(PDUGetConflictingResources(1001, nullptr, nullptr), 0x00),
      ROW(PDUGetTimestamp(kMod, nullptr), 0x00),
      ROW(PDUGetObjectId(PDU_OBJT_PROTOCOL, nullptr, &o.id), 0x50),
      ROW(PDUGetObjectId(PDU_OBJT_PROTOCOL, const_cast<CHAR8*>("ISO_15765_3_on_ISO_15765_2"), nullptr), 0x50),
      ROW(PDUCreateComLogicalLink(kMod, nullptr, kCanResource, nullptr, nullptr, nullptr), 0x50),
      ROW(PDUDestroyItem(nullptr), 0x50),
  };
}

// Null pointers in the calls on a link; link is a live link's handle (the
// handle is checked first).
std::vector<MisuseCase> LinkNullPointerCases(uint32_t link) {
  return {
      ROW(PDUGetComParam(kMod, link, 1, nullptr), 0x50),
      ROW(PDUSetComParam(kMod, link, nullptr), 0x50),
      ROW(PDUGetUniqueRespIdTable(kMod, link, nullptr), 0x50),
      ROW(PDUSetUniqueRespIdTable(kMod, link, nullptr), 0x50),
      ROW(PDUStartComPrimitive(kMod, link, PDU_COPT_SENDRECV, 2, g_request, nullptr, nullptr, nullptr), 0x50),
      ROW(PDUStartComPrimitive(kMod, link, PDU_COPT_SENDRECV, 2, nullptr, nullptr, nullptr, &o.hCoP), 0x50),
      ROW(PDUStartComPrimitive(kMod, link, PDU_COPT_SENDRECV, 4093, g_big, nullptr, nullptr, &o.hCoP), 0x50),
      ROW(PDUStartComPrimitive(kMod, link, PDU_COPT_SENDRECV, 0xFFFFFFFFu, g_request, nullptr, nullptr, &o.hCoP), 0x50),
      ROW(PDUGetEventItem(kMod, link, nullptr), 0x50),
      ROW(PDURegisterEventCallback(kMod, link, nullptr), 0x00),
  };
}

// Values that are wrong inside otherwise valid arguments: null value
// pointers with a type that has a value, lengths without arrays, tables
// claiming entries they do not have. They are taken as empty, never read.
PDU_PARAM_BYTEFIELD_DATA g_hollowBytes{255, 200, nullptr};
PDU_PARAM_LONGFIELD_DATA g_hollowLongs{64, 50, nullptr};
PDU_UNIQUE_RESP_ID_TABLE_ITEM g_hollowTable{PDU_IT_UNIQUE_RESP_ID_TABLE, 3, nullptr};
PDU_ECU_UNIQUE_RESP_DATA g_hollowEntry{1, 4, nullptr};
PDU_UNIQUE_RESP_ID_TABLE_ITEM g_tableOfHollowEntry{PDU_IT_UNIQUE_RESP_ID_TABLE, 1, &g_hollowEntry};
PDU_FLAG_DATA g_hollowFlags{8, nullptr};
PDU_COP_CTRL_DATA g_hollowTxFlag{0, 0, 0, 0, {16, nullptr}, 0, nullptr};

// A call's status, or 0xBAD when it changed the id it was given (77).
T_PDU_ERROR IdUnchanged(T_PDU_ERROR status) { return o.id == 77 ? status : 0xBAD; }

std::vector<MisuseCase> HollowValueCases(uint32_t link) {
  static PDU_PARAM_ITEM valueless{PDU_IT_PARAM, IdOf("CP_P2Max"), PDU_PT_UNUM32, PDU_PC_TIMING, nullptr};
  static PDU_PARAM_ITEM bytes{PDU_IT_PARAM, IdOf("CP_TesterPresentMessage"), PDU_PT_BYTEFIELD, PDU_PC_COM,
                              &g_hollowBytes};
  static PDU_PARAM_ITEM longs{PDU_IT_PARAM, 9999, PDU_PT_LONGFIELD, PDU_PC_COM, &g_hollowLongs};
  static PDU_RSC_DATA pins{IdOf("ISO_11898_2_DWCAN"), IdOf("ISO_15765_3_on_ISO_15765_2"), 5, nullptr};
  return {
      ROW(PDUSetComParam(kMod, link, &valueless), 0x00),
      ROW(PDUSetComParam(kMod, link, &bytes), 0x00),
      ROW(PDUSetComParam(kMod, link, &longs), 0x00),
      ROW(PDUSetUniqueRespIdTable(kMod, link, &g_hollowTable), 0x00),
      ROW(PDUSetUniqueRespIdTable(kMod, link, &g_tableOfHollowEntry), 0x00),
      ROW(PDUCreateComLogicalLink(kMod, nullptr, kCanResource, nullptr, &o.a, &g_hollowFlags), 0x00),
      ROW(PDUCreateComLogicalLink(kMod, &pins, 0, nullptr, &o.a, nullptr), 0x00),
      ROW(PDUStartComPrimitive(kMod, link, PDU_COPT_UPDATEPARAM, 0, nullptr, &g_hollowTxFlag, nullptr, &o.hCoP), 0x00),
      ROW(PDUStartComPrimitive(kMod, link, PDU_COPT_UPDATEPARAM, 0, nullptr, nullptr, nullptr, &o.hCoP), 0x00),
      ROW(PDUStartComPrimitive(kMod, link, 0x9999, 0, nullptr, nullptr, nullptr, &o.hCoP), 0x00),
      ROW(IdUnchanged(PDUGetObjectId(0xDEAD, const_cast<CHAR8*>("no such object"), &o.id)), 0x00),
      ROW(PDUIoCtl(kMod, 0, 0xFFFFFFFFu, nullptr, &o.data), 0x00),
  };
}

// The two readings with a null output pointer (only nameable once the
// module description is loaded).
std::vector<MisuseCase> ReadingCases() {
  return {
      ROW(PDUIoCtl(kMod, 0, IdOf("PDU_IOCTL_READ_VBATT"), nullptr, nullptr), 0x50),
      ROW(PDUIoCtl(kMod, 0, IdOf("PDU_IOCTL_READ_IGNITION_SENSE_STATE"), nullptr, nullptr), 0x50),
  };
}

using ApiMisuse = HealthySessionTest;

TEST_F(ApiMisuse, BeforeTheFirstConstructEveryCallAnswersAndTakesTheLock) {
  // Nothing constructed in this process yet: the lock exists from library
  // load on, the tables are empty, no VCI.
  for (uint32_t h : {0u, 1u, 1024u, 4096u, 0xFFFFFFFFu}) RunTable(BadHandleCases(h), "before construct", true);
  RunTable(ModuleNullPointerCases(), "before construct");
  EXPECT_EQ(PDUModuleConnect(kMod), 0x00u);
  EXPECT_EQ(PDUModuleDisconnect(kMod), 0x11u);
  EXPECT_EQ(PDURegisterEventCallback(kMod, 5000, nullptr), 0x00u);
  // A link made before any construction is numbered but has no handler
  // (no module description yet): it is not a link for the handle checks.
  const uint32_t h = ByResource(kCanResource);
  EXPECT_EQ(h, 1u);
  EXPECT_EQ(PDUConnect(kMod, h), 0x60u);
  EXPECT_EQ(PDUDestruct(), 0x11u);
  EXPECT_EQ(PDUDestruct(), 0x11u);
}

TEST_F(ApiMisuse, ConstructedEveryBadHandleAndNullPointerIsRefused) {
  Construct();
  const uint32_t link = ByResource(kCanResource);
  const uint32_t destroyed = ByResource(kCanResource);
  ASSERT_EQ(PDUDestroyComLogicalLink(kMod, destroyed), 0x00u);
  // A resource id the module description does not know gives a numbered
  // link without a handler: no link for the handle checks either.
  const uint32_t noHandler = ByResource(4242);
  const size_t framesBefore = vci_.FrameCount();
  const size_t jobsBefore = test::QueuedJobs();
  for (uint32_t h : {0u, noHandler, noHandler + 1, 1023u, 1024u, 4095u, 4096u, 0x7FFFFFFFu, 0xFFFFFFFFu}) {
    RunTable(BadHandleCases(h), "constructed", true);
  }
  RunTable(ModuleNullPointerCases(), "constructed");
  RunTable(LinkNullPointerCases(link), "constructed");
  EXPECT_EQ(vci_.FrameCount(), framesBefore) << "a refused call sends nothing";
  EXPECT_EQ(test::QueuedJobs(), jobsBefore) << "and queues nothing";
  // A destroyed link keeps its handler until the next construction: its
  // handle still answers, and its handle is never handed out again.
  EXPECT_EQ(PDUConnect(kMod, destroyed), 0x00u);
  EXPECT_EQ(PDUDestroyComLogicalLink(kMod, destroyed), 0x00u);
  EXPECT_EQ(ByResource(kCanResource), noHandler + 1);
  RunTable(HollowValueCases(link), "constructed");
  RunTable(ReadingCases(), "constructed");
  // The link survived all of it.
  EXPECT_EQ(PDUConnect(kMod, link), 0x00u);
}

// (The port and threads after PDUConstruct twice:
// ConstructTest.SecondConstructReopensThePortWithOneEngineThread.)
TEST_F(ApiMisuse, CallsTwiceInARowGiveTheDecidedAnswers) {
  Construct();
  const uint32_t first = ByResource(kCanResource);
  ASSERT_EQ(PDUConstruct(nullptr, nullptr), 0x00u);
  EXPECT_EQ(PDUConnect(kMod, first), 0x60u) << "links of the first construction are gone";
  const uint32_t h = ByResource(kCanResource);
  const std::vector<MisuseCase> twice = {
      ROW(PDURegisterEventCallback(kMod, h, ItemCollector::Callback), 0x00),
      ROW(PDUConnect(kMod, h), 0x00),
      ROW(PDUModuleConnect(kMod), 0x00),
      ROW(PDUDisconnect(kMod, h), 0x00),
      ROW(PDUDestroyComLogicalLink(kMod, h), 0x00),
      ROW(PDUModuleDisconnect(kMod), 0x00),
  };
  for (const MisuseCase& c : twice) RunTable({c, c}, "twice");
  EXPECT_EQ(PDUDestruct(), 0x00u);
  EXPECT_FALSE(engine::EngineThreadRunning());
  EXPECT_EQ(PDUDestruct(), 0x11u);
}

TEST_F(ApiMisuse, AfterDestructNothingIsSentAndBadHandlesAreStillRefused) {
  Construct();
  const uint32_t link = ByResource(kCanResource);
  ASSERT_EQ(PDUDestruct(), 0x00u);
  const size_t framesAtDestruct = vci_.FrameCount();

  EXPECT_EQ(PDUDestruct(), 0x11u);
  for (uint32_t h : {0u, link + 1, 0xFFFFFFFFu}) RunTable(BadHandleCases(h), "after destruct", true);
  RunTable(ModuleNullPointerCases(), "after destruct");
  RunTable(LinkNullPointerCases(link), "after destruct");
  RunTable(ReadingCases(), "after destruct");
  EXPECT_EQ(PDUModuleDisconnect(kMod), 0x11u);
  // A reading whose exchange cannot happen: 0x01 with the item handed
  // over, value 0.
  for (const char* name : {"PDU_IOCTL_READ_VBATT", "PDU_IOCTL_READ_IGNITION_SENSE_STATE"}) {
    PDU_DATA_ITEM* out = nullptr;
    EXPECT_EQ(PDUIoCtl(kMod, 0, IdOf(name), nullptr, &out), 0x01u) << name;
    ASSERT_NE(out, nullptr) << name;
    EXPECT_EQ(*static_cast<uint32_t*>(out->pData), 0u) << name;
    EXPECT_EQ(PDUDestroyItem(reinterpret_cast<PDU_ITEM*>(out)), 0x00u);
  }
  // The link tables live until the next construction: the link still
  // answers, and sends nothing.
  EXPECT_EQ(PDUConnect(kMod, link), 0x00u);
  EXPECT_EQ(PDUDisconnect(kMod, link), 0x00u);
  EXPECT_EQ(vci_.FrameCount(), framesAtDestruct);
}

// (The other calls without a VCI: ConstructTest, ComLogicalLink.WithoutAVci...,
// and the readings after PDUDestruct above.)
TEST_F(ApiMisuse, WithoutAVciTheSendersFailAndNothingHangs) {
  Construct(Mdf::kShipped, /*withVci=*/false);
  const uint32_t link = ByResource(kCanResource);
  RunTable(ModuleNullPointerCases(), "no VCI");
  RunTable(LinkNullPointerCases(link), "no VCI");
  RunTable(HollowValueCases(link), "no VCI");
  RunTable(ReadingCases(), "no VCI");
  uint32_t hCoP = 0;
  EXPECT_EQ(PDUStartComPrimitive(kMod, link, PDU_COPT_SENDRECV, 2, g_request, nullptr, nullptr, &hCoP), 0x00u);
  EXPECT_NE(hCoP, 0u);
}

}  // namespace
}  // namespace pdu::reliability
