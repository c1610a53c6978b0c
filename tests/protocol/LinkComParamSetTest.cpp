// The link's ComParam store as the link code uses it through the handler.

#include "HandlerTestSupport.h"
#include "protocol/ComParamNames.h"
#include "protocol/LinkComParamSet.h"

namespace pdu::protocol::test {
namespace {

using ComParamStore = HandlerTest;

TEST_F(ComParamStore, VariableMapSetKeepsFirstChangeOverwrites) {
  auto h = Make("ISO_14230_3_on_ISO_14230_2");
  EXPECT_TRUE(h->setcomparamData_var("CP_Custom", 1));
  EXPECT_TRUE(h->setcomparamData_var("CP_Custom", 2));
  EXPECT_EQ(h->comParamSet().comparamVarMap().at("CP_Custom"), 1u);
  EXPECT_TRUE(h->changecomparamData_var("CP_Custom", 2));
  EXPECT_EQ(h->comParamSet().comparamVarMap().at("CP_Custom"), 2u);
  EXPECT_TRUE(h->changecomparamData_var("CP_Other", 7));  // unknown: inserted
  EXPECT_EQ(h->comParamSet().comparamVarMap().at("CP_Other"), 7u);
  EXPECT_TRUE(h->findcomparamData_var("CP_Other", 0));
  h->clearComparam_var();
  EXPECT_TRUE(h->comParamSet().comparamVarMap().empty());
  EXPECT_FALSE(h->findcomparamData_var("CP_Other", 0));
}

// setComparamItem feeds the variable map by short name (replacing), so
// UPDATEPARAM sees the application's timing; ComParams the module
// description does not name stay out of it.
TEST_F(ComParamStore, SettingAnItemFeedsTheVariableMap) {
  auto h = Make("ISO_15765_3_on_ISO_15765_2");
  SetU32(*h, "CP_P2Max", 50000);
  SetU32(*h, "CP_P2Max", 60000);
  uint32_t value = 9;
  PDU_PARAM_ITEM unnamed{PDU_IT_PARAM, 424242, PDU_PT_UNUM32, PDU_PC_COM, &value};
  h->setComparamItem(unnamed);
  EXPECT_EQ(h->comParamSet().comparamVarMap(), (std::map<std::string, uint32_t>{{"CP_P2Max", 60000}}));
  h->getcomparam_var();
  EXPECT_EQ(h->comparamSnapshot(), h->comParamSet().comparamVarMap());
}

TEST_F(ComParamStore, LookupByNameLastMatchWinsAndSkipsItemsWithoutValue) {
  // Two ComParam objects sharing a short name (ids 7 and 8).
  LoadMdf(home_,
          "<MDF>"
          "<COMPARAM><ID>7</ID><SHORT_NAME>CP_P2Max</SHORT_NAME></COMPARAM>"
          "<COMPARAM><ID>8</ID><SHORT_NAME>CP_P2Max</SHORT_NAME></COMPARAM>"
          "<COMPARAM><ID>9</ID><SHORT_NAME>CP_TIdle</SHORT_NAME></COMPARAM>"
          "</MDF>");
  LinkComParamSet set;
  uint32_t a = 100, b = 200;
  set.setComparamItem({PDU_IT_PARAM, 7, PDU_PT_UNUM32, PDU_PC_TIMING, &a});
  set.setComparamItem({PDU_IT_PARAM, 8, PDU_PT_UNUM32, PDU_PC_TIMING, &b});
  set.setComparamItem({PDU_IT_PARAM, 9, PDU_PT_STRUCTFIELD, PDU_PC_TIMING, nullptr});
  uint32_t value = 0;
  bool found = false;
  EXPECT_EQ(set.getComparamValue("CP_P2Max", &value, &found), 15u);
  EXPECT_TRUE(found);
  EXPECT_EQ(value, 200u);
  value = 5;
  EXPECT_EQ(set.getComparamValue("CP_TIdle", &value, &found), 154u);  // the code, found or not
  EXPECT_FALSE(found);
  EXPECT_EQ(value, 5u);
  EXPECT_EQ(set.getComparamValue("CP_CanPhysReqId", &value, &found), kNoVciCode);
}

// (Creation flag bytes, copied at creation and sent at connect, and a null
// or hollow flag as none: ComLogicalLink.CreationFlagBytesGoWithTheResource...)
TEST_F(ComParamStore, ResourceDataComesBackAsAFreshCopy) {
  auto h = Make("ISO_15765_3_on_ISO_15765_2");
  PDU_PIN_DATA pins[] = {{6, 1}, {14, 2}};
  PDU_RSC_DATA in{12, 34, 2, pins};
  EXPECT_TRUE(h->setRscData(&in));
  pins[0].DLCPinNumber = 99;

  PDU_RSC_DATA out{};
  EXPECT_FALSE(h->getRscData(&out));  // answers false, as the link code expects
  EXPECT_EQ(out.BusTypeId, 12u);
  EXPECT_EQ(out.ProtocolId, 34u);
  ASSERT_EQ(out.NumPinData, 2u);
  EXPECT_EQ(out.pDLCPinData[0].DLCPinNumber, 6u);
  EXPECT_EQ(out.pDLCPinData[1].DLCPinTypeId, 2u);
  out.pDLCPinData[1].DLCPinNumber = 0;  // the caller's copy
  h->getRscData(&out);                  // releases the earlier copy first
  EXPECT_EQ(out.pDLCPinData[1].DLCPinNumber, 14u);
  ReleaseRscPins(&out);
  EXPECT_EQ(out.pDLCPinData, nullptr);

  PDU_RSC_DATA fewer{1, 2, 0, nullptr};
  EXPECT_TRUE(h->setRscData(&fewer));  // replaces the pins
  h->getRscData(&out);
  EXPECT_EQ(out.NumPinData, 0u);
  EXPECT_EQ(out.pDLCPinData, nullptr);
  EXPECT_FALSE(h->setRscData(nullptr));
}

}  // namespace
}  // namespace pdu::protocol::test
