// A link's ComParams and its unique response identifier table as the
// application reads and sets them, on the small standard-style module
// description (tests/api/StandardStyleMdf.xml), whose ids are:
//   1 CP_P2Max  2 CP_P2Star  20 CP_Baudrate  30 CP_TesterPresentMessage
//   31 CP_SessionTiming_Ecu (STRUCTFIELD)  32 CP_CanBaudrateRecord
//   61 CP_CanPhysReqId  63 CP_CanRespUSDTFormat (UNUM8)  64 CP_CanRespUSDTId
//   66 CP_CanRespUUDTFormat (UNUM16)  67 CP_CanRespUUDTId
#include <algorithm>

#include "support/SessionFixture.h"
#include "mdf/VciCodes.h"

namespace pdu::test {
namespace {

constexpr uint32_t kP2Max = 1, kP2Star = 2, kBaudrate = 20, kTesterPresentMessage = 30, kSessionTiming = 31,
                   kCanBaudrateRecord = 32, kPhysReqId = 61, kRespUSDTFormat = 63, kRespUSDTId = 64,
                   kRespUUDTFormat = 66, kRespUUDTId = 67;

class ComParamStore : public SessionTest {
 protected:
  void SetUp() override {
    SessionTest::SetUp();
    Construct(Mdf::kStandardStyle, true, /*logging=*/true);
    h_ = ByResource(1001);
    ASSERT_NE(Handler(h_), nullptr);
  }
  uint32_t h_ = 0;
};
using UniqueRespIdTable = ComParamStore;

struct Expected { uint32_t id, type, cpClass, number, maxLen; std::vector<uint32_t> data; };

TEST_F(ComParamStore, NewLinkHoldsTheMdfDefaultsByDataType) {
  const std::vector<Expected> table = {
      {kP2Max, PDU_PT_UNUM32, PDU_PC_TIMING, 50000, 0, {}},
      {kBaudrate, PDU_PT_UNUM32, PDU_PC_BUSTYPE, 500000, 0, {}},  // the bus type's default wins
      {kTesterPresentMessage, PDU_PT_BYTEFIELD, PDU_PC_COM, 0, 12, {0x3E, 0x80}},
      {kCanBaudrateRecord, PDU_PT_LONGFIELD, PDU_PC_BUSTYPE, 0, 4, {500000, 250000}},
      {kRespUSDTFormat, PDU_PT_UNUM8, PDU_PC_UNIQUE_ID, 5, 0, {}},
      {kRespUUDTFormat, PDU_PT_UNUM16, PDU_PC_UNIQUE_ID, 1, 0, {}},
      {kRespUUDTId, PDU_PT_UNUM32, PDU_PC_UNIQUE_ID, 0xFFFFFFFF, 0, {}},
      {9999, 0, 0, 0, 0, {}},  // one the link does not hold: type 0, value 0
  };
  for (const Expected& e : table) {
    const ParamValue v = Get(h_, e.id);
    EXPECT_EQ(v.type, e.type) << "id " << e.id;
    EXPECT_EQ(v.cpClass, e.cpClass) << "id " << e.id;
    ASSERT_TRUE(v.hasValue) << "id " << e.id;
    EXPECT_EQ(v.number, e.number) << "id " << e.id;
    EXPECT_EQ(v.maxLen, e.maxLen) << "id " << e.id;
    EXPECT_EQ(v.data, e.data) << "id " << e.id;
  }
  // Protocol ComParams in MDF order; the one the bus type carries too moved
  // to the bus type's place at the end.
  EXPECT_EQ(ListOrder(h_), (std::vector<uint32_t>{kP2Max, kP2Star, kTesterPresentMessage, kSessionTiming, kPhysReqId,
                                                  kRespUSDTFormat, kRespUSDTId, kRespUUDTFormat, kRespUUDTId,
                                                  kBaudrate, kCanBaudrateRecord}));
}

TEST_F(ComParamStore, SettingTwiceLeavesOneItemAtTheEndWithTheSecondValue) {
  PDU_PARAM_ITEM* before = nullptr;
  ASSERT_EQ(PDUGetComParam(kMod, h_, kP2Max, &before), PDU_STATUS_NOERROR);
  SetU32(h_, kP2Max, 1000);
  SetU32(h_, kP2Max, 2000);
  PDU_PARAM_ITEM* after = nullptr;
  ASSERT_EQ(PDUGetComParam(kMod, h_, kP2Max, &after), PDU_STATUS_NOERROR);
  SetU32(h_, kP2Max, 3000);

  const std::vector<uint32_t> order = ListOrder(h_);
  EXPECT_EQ(std::count(order.begin(), order.end(), kP2Max), 1);
  EXPECT_EQ(order.back(), kP2Max);
  // Items handed out are copies: later settings leave them alone.
  EXPECT_EQ(ReadParam(*before).number, 50000u);
  EXPECT_EQ(ReadParam(*after).number, 2000u);
  EXPECT_EQ(Get(h_, kP2Max).number, 3000u);
  EXPECT_EQ(PDUDestroyItem(reinterpret_cast<PDU_ITEM*>(before)), PDU_STATUS_NOERROR);
  EXPECT_EQ(PDUDestroyItem(reinterpret_cast<PDU_ITEM*>(after)), PDU_STATUS_NOERROR);
}

TEST_F(ComParamStore, TheLinkKeepsItsOwnCopyOfWhatIsSet) {
  uint8_t bytes[] = {0x3E, 0x00, 0x01};
  PDU_PARAM_BYTEFIELD_DATA field{12, 3, bytes};
  PDU_PARAM_ITEM item{PDU_IT_PARAM, kTesterPresentMessage, PDU_PT_BYTEFIELD, PDU_PC_COM, &field};
  ASSERT_EQ(PDUSetComParam(kMod, h_, &item), PDU_STATUS_NOERROR);
  bytes[1] = 0x55;
  field.ParamActLen = 1;
  EXPECT_EQ(Get(h_, kTesterPresentMessage).data, (std::vector<uint32_t>{0x3E, 0x00, 0x01}));

  // Anything is stored as given, also an id the module description lacks.
  SetU32(h_, 5555, 42, PDU_PC_ERRHDL);
  const ParamValue v = Get(h_, 5555);
  EXPECT_EQ(v.number, 42u);
  EXPECT_EQ(v.cpClass, PDU_PC_ERRHDL);
}

TEST_F(ComParamStore, AStructFieldHasNoValueAndStaysOnThisSide) {
  ASSERT_NE(mdf::GetVciCode("CP_SessionTiming_Ecu"), mdf::kNoVciCode);
  const ParamValue v = Get(h_, kSessionTiming);
  EXPECT_EQ(v.type, PDU_PT_STRUCTFIELD);
  EXPECT_FALSE(v.hasValue);
  PDU_PARAM_ITEM item{PDU_IT_PARAM, kSessionTiming, PDU_PT_STRUCTFIELD, PDU_PC_TIMING, nullptr};
  ASSERT_EQ(PDUSetComParam(kMod, h_, &item), PDU_STATUS_NOERROR);
  const std::string log = MainLog();
  const size_t get = log.find("\t\t\tComParamDataType = PDU_PT_STRUCTFIELD\n\t\t\t*pComParamData = (none)\n");
  EXPECT_NE(get, std::string::npos);
  EXPECT_NE(log.find("\t\tComParamDataType = PDU_PT_STRUCTFIELD\n\t\t\t*pComParamData = (none)\n"), std::string::npos);

  // Forwarding passes it over (so does the handlers' lookup:
  // tests/protocol/LinkComParamSetTest.cpp).
  for (const VciFrame& f : ConnectSends(h_, kCmdSetLinkParam)) {
    EXPECT_NE(WordAt(f.data, 8), mdf::GetVciCode("CP_SessionTiming_Ecu"));
  }
}

TEST_F(ComParamStore, AValueSetReachesTheVciAtTheNextConnectAndFailuresDoNotStopTheRest) {
  SetU32(h_, kP2Max, 77000);
  // The first ComParam command fails; the others still go out.
  vci_.Script(kCmdSetLinkParam, {TestVci::Answer(kCmdSetLinkParam, PDU_ERR_COMM_PC_TO_VCI_FAILED)});
  std::map<uint32_t, uint32_t> sent;
  for (const VciFrame& f : ConnectSends(h_, kCmdSetLinkParam)) sent[WordAt(f.data, 8)] = WordAt(f.data, 16);
  EXPECT_EQ(sent.at(15), 77000u);     // CP_P2Max, set last, sent last
  EXPECT_EQ(sent.at(165), 500000u);   // CP_Baudrate
  EXPECT_EQ(sent.at(18), 5000000u);   // CP_P2Star
  EXPECT_EQ(vci_.FramesWithCommand(kCmdConnectLink).size(), 1u);
  EXPECT_NE(MainLog().find("\t\tcomparam name = CP_P2Star set fail\n"), std::string::npos);
  EXPECT_NE(MainLog().find("\t\tcomparam name = CP_P2Max value = 77000 set success\n"), std::string::npos);
}

// ---- unique response identifier table ----------------------------------------

struct TableView {
  uint32_t itemType = 0;
  struct Entry {
    uint32_t id;
    std::vector<PDU_PARAM_ITEM> items;  // values point into the item read
    std::vector<ParamValue> values;
  };
  std::vector<Entry> entries;
};

TableView View(const PDU_UNIQUE_RESP_ID_TABLE_ITEM& t) {
  TableView v;
  v.itemType = t.ItemType;
  for (uint32_t e = 0; e < t.NumEntries; ++e) {
    TableView::Entry entry{t.pUniqueData[e].UniqueRespIdentifier, {}, {}};
    for (uint32_t i = 0; i < t.pUniqueData[e].NumParamItems; ++i) {
      entry.items.push_back(t.pUniqueData[e].pParams[i]);
      entry.values.push_back(ReadParam(t.pUniqueData[e].pParams[i]));
    }
    v.entries.push_back(entry);
  }
  return v;
}

TableView GetTable(uint32_t hCLL) {
  PDU_UNIQUE_RESP_ID_TABLE_ITEM* t = nullptr;
  EXPECT_EQ(PDUGetUniqueRespIdTable(kMod, hCLL, &t), PDU_STATUS_NOERROR);
  TableView v = View(*t);
  for (auto& e : v.entries) e.items.clear();  // their values go with the item
  EXPECT_EQ(PDUDestroyItem(reinterpret_cast<PDU_ITEM*>(t)), PDU_STATUS_NOERROR);
  return v;
}

TEST_F(UniqueRespIdTable, ANewLinkHasOneEntryWithTheProtocolsUniqueIdDefaults) {
  PDU_UNIQUE_RESP_ID_TABLE_ITEM* t = nullptr;
  ASSERT_EQ(PDUGetUniqueRespIdTable(kMod, h_, &t), PDU_STATUS_NOERROR);
  const TableView v = View(*t);
  EXPECT_EQ(v.itemType, PDU_IT_UNIQUE_RESP_ID_TABLE);
  ASSERT_EQ(v.entries.size(), 1u);
  EXPECT_EQ(v.entries[0].id, 0u);
  struct Row { uint32_t id, type, value; };
  const std::vector<Row> rows = {{kPhysReqId, PDU_PT_UNUM32, 2016},
                                 {kRespUSDTFormat, PDU_PT_UNUM8, 5}, {kRespUSDTId, PDU_PT_UNUM32, 2024},
                                 {kRespUUDTFormat, PDU_PT_UNUM16, 1},
                                 {kRespUUDTId, PDU_PT_UNUM32, 0xFFFFFFFF}};
  ASSERT_EQ(v.entries[0].items.size(), rows.size());
  for (size_t i = 0; i < rows.size(); ++i) {
    const PDU_PARAM_ITEM& item = v.entries[0].items[i];
    EXPECT_EQ(item.ItemType, PDU_IT_PARAM);
    EXPECT_EQ(item.ComParamId, rows[i].id);
    EXPECT_EQ(item.ComParamDataType, rows[i].type);
    EXPECT_EQ(item.ComParamClass, PDU_PC_UNIQUE_ID);
    EXPECT_EQ(v.entries[0].values[i].number, rows[i].value) << "id " << rows[i].id;
  }
  EXPECT_EQ(PDUDestroyItem(reinterpret_cast<PDU_ITEM*>(t)), PDU_STATUS_NOERROR);
}

TEST_F(UniqueRespIdTable, EveryEntrySetsItsComParamsOnTheLinkAndTheLastOneWins) {
  uint32_t first = 0x7E8, second = 0x7E9;
  uint8_t bytes[] = {0x3E, 0x00};
  PDU_PARAM_BYTEFIELD_DATA field{12, 2, bytes};
  PDU_PARAM_ITEM one[] = {{PDU_IT_PARAM, kRespUSDTId, PDU_PT_UNUM32, PDU_PC_UNIQUE_ID, &first},
                          {PDU_IT_PARAM, kTesterPresentMessage, PDU_PT_BYTEFIELD, PDU_PC_COM, &field}};
  PDU_PARAM_ITEM two[] = {{PDU_IT_PARAM, kRespUSDTId, PDU_PT_UNUM32, PDU_PC_UNIQUE_ID, &second}};
  PDU_ECU_UNIQUE_RESP_DATA entries[] = {{1, 2, one}, {2, 1, two}};
  PDU_UNIQUE_RESP_ID_TABLE_ITEM table{PDU_IT_UNIQUE_RESP_ID_TABLE, 2, entries};
  ASSERT_EQ(PDUSetUniqueRespIdTable(kMod, h_, &table), PDU_STATUS_NOERROR);

  EXPECT_EQ(Get(h_, kRespUSDTId).number, 0x7E9u);
  // The byte field stays in the table; the link's own value is untouched.
  EXPECT_EQ(Get(h_, kTesterPresentMessage).data, (std::vector<uint32_t>{0x3E, 0x80}));

  // Changing the caller's table afterwards changes nothing stored.
  first = 0x111;
  bytes[0] = 0x99;
  entries[1].UniqueRespIdentifier = 77;
  table.NumEntries = 1;
  const TableView v = GetTable(h_);
  ASSERT_EQ(v.entries.size(), 2u);
  EXPECT_EQ(v.entries[0].id, 1u);
  EXPECT_EQ(v.entries[1].id, 2u);
  ASSERT_EQ(v.entries[0].values.size(), 2u);
  EXPECT_EQ(v.entries[0].values[0].number, 0x7E8u);
  EXPECT_EQ(v.entries[0].values[1].data, (std::vector<uint32_t>{0x3E, 0x00}));
  EXPECT_EQ(v.entries[1].values[0].number, 0x7E9u);

  // The VCI gets the first entry's identifier and count, then the coded
  // ComParams of every entry.
  const auto connect = ConnectSends(h_, kCmdConnectLink);
  ASSERT_EQ(connect.size(), 1u);
  const Bytes& d = connect[0].data;
  ASSERT_EQ(d.size(), 24u + 2 * 5u);
  EXPECT_EQ((std::vector<uint32_t>{WordAt(d, 8), WordAt(d, 12), WordAt(d, 16), WordAt(d, 20)}),
            (std::vector<uint32_t>{PDU_IT_UNIQUE_RESP_ID_TABLE, 2, 1, 1}));
  EXPECT_EQ(d[24], 0x53);
  EXPECT_EQ(WordAt(d, 25), 0x7E8u);
  EXPECT_EQ(d[29], 0x53);
  EXPECT_EQ(WordAt(d, 30), 0x7E9u);
}

TEST_F(UniqueRespIdTable, TheApplicationGetsACopyThatDestroyItemReleasesWhole) {
  PDU_UNIQUE_RESP_ID_TABLE_ITEM* t = nullptr;
  ASSERT_EQ(PDUGetUniqueRespIdTable(kMod, h_, &t), PDU_STATUS_NOERROR);
  ASSERT_EQ(t->NumEntries, 1u);
  *static_cast<uint32_t*>(t->pUniqueData[0].pParams[0].pComParamData) = 0x123;
  t->pUniqueData[0].UniqueRespIdentifier = 9;
  const TableView again = GetTable(h_);
  EXPECT_EQ(again.entries[0].id, 0u);
  EXPECT_EQ(again.entries[0].values[0].number, 2016u);
  EXPECT_EQ(PDUDestroyItem(reinterpret_cast<PDU_ITEM*>(t)), PDU_STATUS_NOERROR);

  // Replacing the table by an empty one releases the old (the sanitizer
  // build sees a leak otherwise); the empty one is handed out as such.
  PDU_UNIQUE_RESP_ID_TABLE_ITEM empty{PDU_IT_UNIQUE_RESP_ID_TABLE, 0, nullptr};
  ASSERT_EQ(PDUSetUniqueRespIdTable(kMod, h_, &empty), PDU_STATUS_NOERROR);
  EXPECT_TRUE(GetTable(h_).entries.empty());
}

// The table handed out is a 0x1700 item whatever type the application put
// into the table it set: 0 (no item), another item's type (0x1000, a data
// item; 0x1300, a result item; 0x1500, a module item) or a value no item has. The sanitizer build
// sees the leak or the wrong free that a foreign type caused.
TEST_F(UniqueRespIdTable, TheCopyIsAlwaysATableItemWhateverTypeWasSet) {
  for (const uint32_t foreignType : {0x0u, 0x1000u, 0x1300u, 0x1500u, 0xDEADu}) {
    SCOPED_TRACE(foreignType);
    uint32_t value = 0x7E8;
    PDU_PARAM_ITEM param{foreignType, kRespUSDTId, 0x105, 6, &value};
    PDU_ECU_UNIQUE_RESP_DATA entry{7, 1, &param};
    PDU_UNIQUE_RESP_ID_TABLE_ITEM set{foreignType, 1, &entry};
    ASSERT_EQ(PDUSetUniqueRespIdTable(kMod, h_, &set), PDU_STATUS_NOERROR);
    PDU_UNIQUE_RESP_ID_TABLE_ITEM* t = nullptr;
    ASSERT_EQ(PDUGetUniqueRespIdTable(kMod, h_, &t), PDU_STATUS_NOERROR);
    EXPECT_EQ(t->ItemType, 0x1700u);
    ASSERT_EQ(t->NumEntries, 1u);
    EXPECT_EQ(t->pUniqueData[0].UniqueRespIdentifier, 7u);
    EXPECT_EQ(t->pUniqueData[0].pParams[0].ItemType, 0x1200u);
    EXPECT_EQ(PDUDestroyItem(reinterpret_cast<PDU_ITEM*>(t)), PDU_STATUS_NOERROR);
  }
}

}  // namespace
}  // namespace pdu::test
