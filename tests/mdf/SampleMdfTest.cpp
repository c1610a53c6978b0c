// The module description shipped in data/ must load completely and carry
// every name the rest of the module looks up.
#include <gtest/gtest.h>

#include <map>
#include <set>
#include <string>

#include "log/PduLog.h"
#include "mdf/ComParamValue.h"
#include "mdf/MdfTables.h"
#include "mdf/ObjectIds.h"
#include "mdf/VciCodes.h"
#include "protocol/CreateProtocolHandler.h"
#include "pdu_api.h"
#include "support/TempHome.h"

namespace pdu::mdf {
namespace {

using test::TempHome;

class SampleMdf : public ::testing::Test {
 protected:
  void SetUp() override {
    home_.CopyData("MDF.xml");
    home_.StartLog();
    ASSERT_TRUE(LoadMdfFile());
    LoadMdfObjects();
    LoadXMLToResourceStruct();
  }
  void TearDown() override { log::LogCloseAll(); }

  static std::set<std::string> Names(const char* element) {
    std::set<std::string> out;
    for (const MdfObject& o : MdfObjectTable())
      if (o.ElementName == element) out.insert(o.ShortName);
    return out;
  }

  static const ComParamRef* FindRef(const char* protocol, const char* comParam) {
    uint32_t id = 0;
    if (!ObjectIdByShortName(protocol, id)) return nullptr;
    const ComParamRefList* list = FindProtocolComParams(id);
    if (list == nullptr) return nullptr;
    for (const ComParamRef& ref : list->ComParamRefs)
      if (ref.ShortName == comParam) return &ref;
    return nullptr;
  }

  TempHome home_;
};

// The 29 protocols of the handler selection table
// (CreateProtocolHandlerTest.cpp lists them with their classes): each one is
// in the file with its ComParams, and the file lists no other.
TEST_F(SampleMdf, ListsEveryProtocolWithAHandler) {
  const std::set<std::string> protocols = Names("PROTOCOL");
  EXPECT_EQ(protocols.size(), 29u);
  for (const std::string& name : protocols) {
    EXPECT_NE(protocol::CreateProtocolHandler(name.c_str()), nullptr) << name;
    uint32_t id = 0;
    ASSERT_TRUE(ObjectIdByShortName(name, id)) << name;
    const ComParamRefList* refs = FindProtocolComParams(id);
    ASSERT_NE(refs, nullptr) << name;
    EXPECT_GT(refs->NumComParamRefs(), 0u) << name;
  }
}

TEST_F(SampleMdf, ListsEveryBusTypePinTypeAndIoControlOfTheVci) {
  const std::set<std::string> buses = Names("BUSTYPE");
  for (const VciNameCode& row : BusTypeNameTable()) EXPECT_EQ(buses.count(std::string(row.Name)), 1u) << row.Name;
  EXPECT_EQ(buses.size(), BusTypeNameTable().size());
  EXPECT_EQ(BusTypeComParamTable().size(), BusTypeNameTable().size());

  const std::set<std::string> pins = Names("PINTYPE");
  for (const VciNameCode& row : PinTypeNameTable()) EXPECT_EQ(pins.count(std::string(row.Name)), 1u) << row.Name;

  std::set<std::string> ioctls = Names("IO_CTRL");
  for (const VciNameCode& row : IoCtlNameTable()) EXPECT_EQ(ioctls.erase(std::string(row.Name)), 1u) << row.Name;
  EXPECT_EQ(ioctls, (std::set<std::string>{"PDU_IOCTL_GET_WLAN_STATUS", "PDU_IOCTL_GET_SSIDS",
                                            "PDU_IOCTL_GET_ETH_SWITCH_STATE"}));
}

TEST_F(SampleMdf, ObjectIdsAreUniquePerKindAndComParamNamesKnownToTheVci) {
  std::map<std::string, std::set<uint32_t>> ids;
  for (const MdfObject& o : MdfObjectTable()) {
    EXPECT_NE(o.ObjectId, 0u) << o.ShortName;
    EXPECT_TRUE(ids[o.ElementName].insert(o.ObjectId).second) << o.ShortName;
    EXPECT_EQ(o.Key, o.ShortName);
    if (o.ElementName == "COMPARAM" && o.ShortName != "CPM_VWTP_PhysIdFormat") {
      bool known = false;
      for (const VciNameCode& row : ComParamNameTable()) known = known || row.Name == o.ShortName;
      EXPECT_TRUE(known) << o.ShortName;
    }
  }
}

TEST_F(SampleMdf, EveryReferenceResolvesAndEveryDefaultConverts) {
  for (auto table : {ProtocolComParamTable(), BusTypeComParamTable()}) {
    for (const ComParamRefList& list : table) {
      for (const ComParamRef& ref : list.ComParamRefs) {
        EXPECT_NE(ref.ComParamId, 0u) << ref.ComParamIdRef;
        EXPECT_EQ(ref.ShortName, ref.ComParamIdRef);
        void* value = ConvertDefaultValue(ref.DefaultValue.c_str(), ref.ComParamDataType);
        EXPECT_NE(value, nullptr) << ref.ShortName;
        FreeComParamValue(value, ref.ComParamDataType);
      }
    }
  }
  EXPECT_EQ(TempHome::ClosedMainLog().find("error"), std::string::npos);
}

TEST_F(SampleMdf, DefaultsOfTheMainProtocols) {
  struct Row { const char* protocol; const char* comParam; const char* value; uint32_t cpClass; };
  // (CP_P2Max of ISO 15765 and ISO 14230 and the identifiers of ISO 15765
  // and TP2.0 reach the golden link transcripts.)
  const Row rows[] = {
      {"ISO_OBD_on_ISO_15765_4", "CP_CanFuncReqId", "2015", PDU_PC_COM},
      {"ISO_OBD_on_ISO_15765_4", "CP_RequestAddrMode", "2", PDU_PC_COM},
      {"ISO_14230_3_on_ISO_14230_2", "CP_P3Min", "55000", PDU_PC_TIMING},
  };
  for (const Row& row : rows) {
    const ComParamRef* ref = FindRef(row.protocol, row.comParam);
    ASSERT_NE(ref, nullptr) << row.protocol << " " << row.comParam;
    EXPECT_EQ(ref->DefaultValue, row.value) << row.comParam;
    EXPECT_EQ(ref->ComParamClass, row.cpClass) << row.comParam;
  }
}

// The handlers name the response-identification ComParams of their
// protocol by object id (pinned in CreateProtocolHandlerTest.cpp); the file
// must use the same ids.
TEST_F(SampleMdf, UniqueIdComParamsCarryTheIdsTheHandlersName) {
  for (const char* protocol : {"ISO_15765_3_on_ISO_15765_2", "ISO_OBD_on_ISO_15765_4", "ISO_14230_3_on_ISO_14230_2",
                               "MSP_VW2000LP_on_TP20"}) {
    std::set<uint32_t> named, unique;
    const auto handler = protocol::CreateProtocolHandler(protocol);
    for (const auto& [id, name] : handler->uniqueRespComparamMap()) named.insert(id);
    uint32_t id = 0;
    ASSERT_TRUE(ObjectIdByShortName(protocol, id));
    for (const ComParamRef& ref : FindProtocolComParams(id)->ComParamRefs)
      if (ref.ComParamClass == PDU_PC_UNIQUE_ID) unique.insert(ref.ComParamId);
    EXPECT_FALSE(named.empty()) << protocol;
    EXPECT_EQ(unique, named) << protocol;
  }
}

TEST_F(SampleMdf, ResourcesNameKnownBusTypesAndProtocols) {
  ASSERT_GE(ODXResourceTable().size(), 30u);
  for (const ODXResource& r : ODXResourceTable()) {
    uint32_t id = 0;
    ASSERT_TRUE(ObjectIdByShortName(r.ShortName, id)) << r.ShortName;
    EXPECT_EQ(id, r.ResourceId) << r.ShortName;
    ASSERT_TRUE(ObjectIdByShortName(r.BusTypeName, id)) << r.BusTypeName;
    EXPECT_EQ(ObjectIdToShortName(id, "BUSTYPE"), r.BusTypeName);
    ASSERT_TRUE(ObjectIdByShortName(r.ProtocolName, id)) << r.ProtocolName;
    EXPECT_EQ(ObjectIdToShortName(id, "PROTOCOL"), r.ProtocolName);
    ASSERT_NE(MdfObjectByKey(r.BusTypeName), nullptr);
    EXPECT_GT(r.NumPins(), 0u) << r.ShortName;
  }
  // (What resources 1001 and 1010 give the VCI, codes and pins: the golden
  // transcripts prologue and link-tp20.)
}

}  // namespace
}  // namespace pdu::mdf
