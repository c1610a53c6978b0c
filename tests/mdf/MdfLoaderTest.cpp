#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>
#include <string>
#include <utility>

#include "log/PduLog.h"
#include "mdf/Enumerations.h"
#include "mdf/MdfTables.h"
#include "mdf/ObjectIds.h"
#include "pdu_api.h"
#include "support/TempHome.h"

namespace pdu::mdf {
namespace {

using test::TempHome;

// The three loaders in the order and with the rule PDUConstruct uses.
bool LoadAll() {
  const bool read = LoadMdfFile();
  if (read) LoadMdfObjects();
  LoadXMLToResourceStruct();
  return read;
}

bool LoadText(const TempHome& home, const std::string& xml) {
  home.Write("MDF.xml", xml);
  return LoadAll();
}

std::string Protocol(const std::string& id, const std::string& name, const std::string& refs = "") {
  return "<PROTOCOL EID=\"" + name + "\"><ID>" + id + "</ID><SHORT_NAME>" + name + "</SHORT_NAME>" + refs +
         "</PROTOCOL>";
}

std::string Ref(const std::string& key, const std::string& def) {
  return "<COMPARAM_REF><COMPARAM IDREF=\"" + key + "\"/><DEFAULT_VALUE>" + def + "</DEFAULT_VALUE></COMPARAM_REF>";
}

std::string ComParam(const std::string& key, const std::string& id, const std::string& name,
                     const std::string& type, const std::string& cls) {
  return "<COMPARAM EID=\"" + key + "\"><ID>" + id + "</ID><SHORT_NAME>" + name + "</SHORT_NAME><DATA_TYPE>" +
         type + "</DATA_TYPE><CLASS>" + cls + "</CLASS></COMPARAM>";
}

TEST(ParseMdfNumber, HexDecimalAndEverythingElse) {
  struct Row { const char* text; uint32_t value; };
  const Row rows[] = {
      {"0x1A", 26},       {"0X1a", 26},       {"26", 26},        {"0x", 0},    {" 26", 0},
      {"26a", 0},         {"-1", 0},          {"", 0},           {"0x1G", 1},  {"0xZZ", 0},
      {"0xFFFFFFFF", 0xFFFFFFFF}, {"00017", 17}, {"0x 1A", 0},
  };
  for (const Row& row : rows) EXPECT_EQ(ParseMdfNumber(row.text), row.value) << '"' << row.text << '"';
  EXPECT_EQ(ParseMdfNumber(nullptr), 0u);
}

TEST(MdfLoader, EveryRootChildIsAnObjectInDocumentOrder) {
  TempHome home;
  ASSERT_TRUE(LoadText(home,
                       "<?xml version=\"1.0\"?><!-- c --><MDF>" + Protocol("0x10", "P1") +
                           "<BUSTYPE EID=\"B\"><ID>2</ID><SHORT_NAME>B1</SHORT_NAME></BUSTYPE>" +
                           ComParam("K", "3", "CP_X", "PDU_PT_UNUM8", "COM") +
                           "<IO_CTRL><ID>4</ID><SHORT_NAME>IO</SHORT_NAME></IO_CTRL>"
                           "<RESOURCE EID=\"R\"><ID>5</ID><SHORT_NAME>RES</SHORT_NAME></RESOURCE></MDF>"));
  const auto objects = MdfObjectTable();
  ASSERT_EQ(objects.size(), 5u);
  EXPECT_EQ(objects[0].ObjectId, 16u);
  EXPECT_EQ(objects[0].ElementName, "PROTOCOL");
  EXPECT_EQ(objects[0].ObjectType, 0x8021u);
  EXPECT_EQ(objects[0].ComParamClass, 0u);  // no CLASS child
  EXPECT_EQ(objects[0].Key, "P1");
  EXPECT_EQ(objects[2].ObjectType, 0x8024u);
  EXPECT_EQ(objects[2].ComParamClass, PDU_PC_COM);
  EXPECT_EQ(objects[3].ObjectType, 0x8023u);
  EXPECT_EQ(objects[3].Key, "");
  EXPECT_EQ(objects[4].ShortName, "RES");
  EXPECT_EQ(objects[4].ObjectType, 0x8026u);

  uint32_t id = 0;
  ASSERT_TRUE(ObjectIdByShortName("RES", id));
  EXPECT_EQ(id, 5u);
  ASSERT_EQ(ODXResourceTable().size(), 1u);
}

TEST(MdfLoader, ProtocolsAndBusTypesTakeOnlyTheirOwnSlots) {
  TempHome home;
  ASSERT_TRUE(LoadText(home, "<MDF>" + Protocol("1", "P1", Ref("K", "7")) +
                                 "<IO_CTRL><ID>9</ID><SHORT_NAME>IO</SHORT_NAME></IO_CTRL>"
                                 "<BUSTYPE><ID>20</ID><SHORT_NAME>B</SHORT_NAME>" +
                                 Ref("K", "8") + "</BUSTYPE>" + Protocol("2", "P2") +
                                 ComParam("K", "30", "CP_X", "PDU_PT_UNUM16", "TIMING") + "</MDF>"));
  const auto protocols = ProtocolComParamTable();
  ASSERT_EQ(protocols.size(), 2u);
  EXPECT_EQ(protocols[0].ObjectId, 1u);
  EXPECT_EQ(protocols[1].ObjectId, 2u);
  EXPECT_EQ(protocols[1].NumComParamRefs(), 0u);  // a protocol without refs
  ASSERT_EQ(protocols[0].NumComParamRefs(), 1u);
  const ComParamRef& ref = protocols[0].ComParamRefs[0];
  EXPECT_EQ(ref.ComParamIdRef, "K");
  EXPECT_EQ(ref.DefaultValue, "7");
  EXPECT_EQ(ref.ComParamId, 30u);
  EXPECT_EQ(ref.ShortName, "CP_X");
  EXPECT_EQ(ref.ComParamDataType, 0x103u);
  EXPECT_EQ(ref.ComParamClass, PDU_PC_TIMING);

  const auto buses = BusTypeComParamTable();
  ASSERT_EQ(buses.size(), 1u);
  EXPECT_EQ(buses[0].ObjectId, 20u);
  EXPECT_EQ(buses[0].ComParamRefs[0].DefaultValue, "8");
  EXPECT_EQ(FindBusTypeComParams(20), &buses[0]);
  EXPECT_EQ(FindProtocolComParams(2), &protocols[1]);
  EXPECT_EQ(FindProtocolComParams(20), nullptr);
}

TEST(MdfLoader, ReferencesResolveToTheLastComParamWithTheKey) {
  TempHome home;
  ASSERT_TRUE(LoadText(home, "<MDF>" + Protocol("1", "P", Ref("DUP", "1") + Ref("NONE", "2")) +
                                 ComParam("DUP", "40", "CP_First", "PDU_PT_UNUM8", "COM") +
                                 ComParam("DUP", "41", "CP_Second", "PDU_PT_BYTEFIELD", "UNIQUE_ID") +
                                 "<COMPARAM><ID>42</ID><SHORT_NAME>CP_NoKey</SHORT_NAME></COMPARAM></MDF>"));
  const auto& refs = ProtocolComParamTable()[0].ComParamRefs;
  ASSERT_EQ(refs.size(), 2u);
  EXPECT_EQ(refs[0].ComParamId, 41u);
  EXPECT_EQ(refs[0].ShortName, "CP_Second");
  EXPECT_EQ(refs[0].ComParamDataType, 0x107u);
  EXPECT_EQ(refs[0].ComParamClass, PDU_PC_UNIQUE_ID);
  // A key that names no COMPARAM leaves the resolved fields empty.
  EXPECT_EQ(refs[1].ComParamId, 0u);
  EXPECT_EQ(refs[1].ComParamDataType, 0u);
  EXPECT_EQ(refs[1].ComParamClass, 0u);
  EXPECT_EQ(refs[1].ShortName, "");
  EXPECT_EQ(refs[1].DefaultValue, "2");
}

TEST(MdfLoader, MissingChildrenCountAsEmpty) {
  TempHome home;
  ASSERT_TRUE(LoadText(home,
                       "<MDF><PROTOCOL><SHORT_NAME>P</SHORT_NAME>"
                       "<COMPARAM_REF><COMPARAM/></COMPARAM_REF>"                 // no key, no default
                       "<COMPARAM_REF><COMPARAM IDREF=\"K\"/></COMPARAM_REF>"     // no default
                       "</PROTOCOL>"
                       "<COMPARAM EID=\"K\"><ID></ID><CLASS/></COMPARAM>"         // empty texts
                       "<RESOURCE><SHORT_NAME>R</SHORT_NAME><BUSTYPE/>"
                       "<PIN_ON_MODULE/><PIN_ON_MODULE><PIN_ON_MODULE/></PIN_ON_MODULE></RESOURCE></MDF>"));
  ASSERT_EQ(ProtocolComParamTable().size(), 1u);
  const ComParamRefList& p = ProtocolComParamTable()[0];
  EXPECT_EQ(p.ObjectId, 0u);
  ASSERT_EQ(p.NumComParamRefs(), 2u);
  EXPECT_EQ(p.ComParamRefs[0].ComParamIdRef, "");
  EXPECT_EQ(p.ComParamRefs[0].ComParamDataType, 0u);  // a ref without key resolves to nothing
  EXPECT_EQ(p.ComParamRefs[1].DefaultValue, "");
  EXPECT_EQ(p.ComParamRefs[1].ComParamId, 0u);
  EXPECT_EQ(p.ComParamRefs[1].ComParamDataType, 0x105u);  // empty DATA_TYPE text
  EXPECT_EQ(p.ComParamRefs[1].ComParamClass, PDU_PC_TIMING);      // empty CLASS text

  ASSERT_EQ(ODXResourceTable().size(), 1u);
  const ODXResource& r = ODXResourceTable()[0];
  EXPECT_EQ(r.ResourceId, 0u);
  EXPECT_EQ(r.BusTypeName, "");
  EXPECT_EQ(r.ProtocolName, "");
  ASSERT_EQ(r.NumPins(), 2u);
  EXPECT_EQ(r.Pins[0].DLCPinNumber, 0u);
  EXPECT_EQ(r.Pins[1].DLCPinTypeId, 1u);
}

TEST(MdfLoader, ARefWithoutComParamEmptiesThatWholeTable) {
  TempHome home;
  ASSERT_TRUE(LoadText(home, "<MDF>" + Protocol("1", "P1", Ref("K", "1")) +
                                 Protocol("2", "P2", "<COMPARAM_REF><DEFAULT_VALUE>1</DEFAULT_VALUE></COMPARAM_REF>") +
                                 "<BUSTYPE><ID>3</ID>" + Ref("K", "5") + "</BUSTYPE>" +
                                 ComParam("K", "9", "CP_K", "PDU_PT_UNUM32", "COM") + "</MDF>"));
  EXPECT_EQ(ProtocolComParamTable().size(), 0u);
  EXPECT_EQ(FindProtocolComParams(1), nullptr);
  ASSERT_EQ(BusTypeComParamTable().size(), 1u);
  EXPECT_EQ(BusTypeComParamTable()[0].ComParamRefs[0].ComParamId, 9u);
  EXPECT_EQ(MdfObjectTable().size(), 4u);
}

TEST(MdfLoader, ResourcesReadDecimalIdsNamesAndPinPositions) {
  TempHome home;
  home.StartLog();
  ASSERT_TRUE(LoadText(home,
                       "<MDF><RESOURCE EID=\"E\"><ID>&#32;26</ID><SHORT_NAME>CAN_6_14</SHORT_NAME>"
                       "<BUSTYPE IDREF=\"ISO_11898_2_DWCAN\" other=\"x\"/><PROTOCOL name=\"ISO_OBD_on_ISO_15765_4\"/>"
                       "<PIN_ON_MODULE><PINTYPE IDREF=\"HI\"/><PIN_ON_MODULE>6</PIN_ON_MODULE></PIN_ON_MODULE>"
                       "<PIN_ON_MODULE><PIN_ON_MODULE>14</PIN_ON_MODULE></PIN_ON_MODULE></RESOURCE>"
                       "<RESOURCE><ID>-3</ID><SHORT_NAME>NEG</SHORT_NAME></RESOURCE></MDF>"));
  EXPECT_EQ(TempHome::ClosedMainLog(), "ODXResource num = 2\n");

  ASSERT_EQ(ODXResourceTable().size(), 2u);
  const ODXResource& r = ODXResourceTable()[0];
  EXPECT_EQ(r.ResourceId, 26u);                  // decimal with a leading blank
  EXPECT_EQ(MdfObjectTable()[0].ObjectId, 0u);  // but no object id
  EXPECT_EQ(r.BusTypeName, "ISO_11898_2_DWCAN");
  EXPECT_EQ(r.ProtocolName, "ISO_OBD_on_ISO_15765_4");
  ASSERT_EQ(r.NumPins(), 2u);
  EXPECT_EQ((std::pair{r.Pins[0].DLCPinNumber, r.Pins[0].DLCPinTypeId}), (std::pair{6u, 0u}));
  EXPECT_EQ((std::pair{r.Pins[1].DLCPinNumber, r.Pins[1].DLCPinTypeId}), (std::pair{14u, 1u}));
  EXPECT_EQ(ODXResourceTable()[1].ResourceId, static_cast<uint32_t>(-3));
  EXPECT_EQ(ODXResourceTable()[1].NumPins(), 0u);

  ODXResource out;
  out.ShortName = "untouched";
  EXPECT_EQ(GetResourceById(99, out), "");
  EXPECT_EQ(out.ShortName, "untouched");
  EXPECT_EQ(GetResourceById(26, out), "CAN_6_14");
  EXPECT_EQ(out.Pins.size(), 2u);
}

TEST(MdfLoader, ReloadOverwritesFromTheFirstSlotAndKeepsSlotsWithoutId) {
  TempHome home;
  ASSERT_TRUE(LoadText(home, "<MDF>" + Protocol("1", "A") + Protocol("2", "B") + Protocol("3", "C") +
                                 "<RESOURCE><ID>7</ID><SHORT_NAME>R7</SHORT_NAME></RESOURCE></MDF>"));
  ASSERT_TRUE(LoadText(home, "<MDF>" + Protocol("10", "X") + "<NOTE>no id</NOTE></MDF>"));
  const auto objects = MdfObjectTable();
  ASSERT_EQ(objects.size(), 2u);  // the element without ID is counted...
  EXPECT_EQ(objects[0].ShortName, "X");
  EXPECT_EQ(objects[1].ShortName, "B");  // ...and its slot keeps the old object
  EXPECT_EQ(objects[1].ObjectId, 2u);
  EXPECT_EQ(ProtocolComParamTable().size(), 1u);
  // A document without resources leaves the resource table as it was.
  ASSERT_EQ(ODXResourceTable().size(), 1u);
  EXPECT_EQ(ODXResourceTable()[0].ShortName, "R7");
  uint32_t id = 0;
  EXPECT_FALSE(ObjectIdByShortName("C", id));  // beyond the new count
}

TEST(MdfLoader, MissingFileLeavesEarlierTables) {
  TempHome home;
  ASSERT_TRUE(LoadText(home, "<MDF>" + Protocol("1", "A") +
                                 "<RESOURCE><ID>7</ID><SHORT_NAME>R7</SHORT_NAME></RESOURCE></MDF>"));
  std::filesystem::remove(home.path() + "MDF.xml");
  EXPECT_FALSE(LoadAll());
  EXPECT_EQ(MdfObjectTable().size(), 2u);
  EXPECT_EQ(ProtocolComParamTable().size(), 1u);
  // The resource loader re-reads the text of the last good read.
  ASSERT_EQ(ODXResourceTable().size(), 1u);
  EXPECT_EQ(ODXResourceTable()[0].ResourceId, 7u);
}

TEST(MdfLoader, NothingLoadedInAFreshProcessWithoutFile) {
  TempHome home;
  EXPECT_FALSE(LoadAll());
  EXPECT_TRUE(MdfObjectTable().empty());
  EXPECT_TRUE(ODXResourceTable().empty());
  uint32_t id = 5;
  EXPECT_FALSE(ObjectIdByShortName("", id));
  EXPECT_EQ(id, 5u);
}

TEST(MdfLoader, MalformedXmlLoadsWhatTheParserKept) {
  {
    TempHome home;
    EXPECT_TRUE(LoadText(home, "this is not <<< xml"));
    EXPECT_TRUE(MdfObjectTable().empty());
  }
  {
    TempHome home;
    // Cut off in the middle of the second protocol: whatever the parser
    // kept is read, nothing crashes.
    EXPECT_TRUE(LoadText(home, "<MDF>" + Protocol("1", "A", Ref("K", "1")) + "<PROTOCOL><ID>2</I"));
    ASSERT_GE(MdfObjectTable().size(), 1u);
    EXPECT_EQ(MdfObjectTable()[0].ShortName, "A");
  }
}

TEST(ObjectIds, LookupsAreExactFirstMatchAndKeptApartByKind) {
  TempHome home;
  ASSERT_TRUE(LoadText(home, "<MDF>" + ComParam("CPK", "7", "CP_P2Max", "PDU_PT_UNUM32", "TIMING") +
                                 Protocol("7", "SAME") + "<RESOURCE EID=\"RK\"><ID>8</ID><SHORT_NAME>SAME</SHORT_NAME>"
                                 "</RESOURCE></MDF>"));
  uint32_t id = 0;
  ASSERT_TRUE(ObjectIdByShortName("SAME", id));
  EXPECT_EQ(id, 7u);  // the protocol stands first
  EXPECT_FALSE(ObjectIdByShortName("cp_p2max", id));

  EXPECT_EQ(ObjectIdToShortName(7, "COMPARAM"), "CP_P2Max");
  EXPECT_EQ(ObjectIdToShortName(7, "PROTOCOL"), "SAME");
  EXPECT_EQ(ObjectIdToShortName(8, "PROTOCOL"), "");
  EXPECT_EQ(ObjectIdToShortName(7, "protocol"), "");

  const MdfObject* byKey = MdfObjectByKey("RK");
  ASSERT_NE(byKey, nullptr);
  EXPECT_EQ(byKey->ObjectId, 8u);
  EXPECT_EQ(MdfObjectByKey("rk"), nullptr);
  EXPECT_EQ(MdfObjectByKey(""), nullptr);
}

// A folder with a small module description loaded and the main log on.
class GetObjectId : public ::testing::Test {
 protected:
  void SetUp() override {
    home_.SetLogSwitch("1");
    home_.Write("MDF.xml",
                "<MDF>"
                "<PROTOCOL EID=\"P\"><ID>401</ID><SHORT_NAME>ISO_OBD_on_K_Line</SHORT_NAME></PROTOCOL>"
                "<COMPARAM EID=\"C\"><ID>1</ID><SHORT_NAME>CP_P2Max</SHORT_NAME></COMPARAM>"
                "<RESOURCE EID=\"R\"><ID>1001</ID><SHORT_NAME>ISO_OBD_on_K_Line</SHORT_NAME></RESOURCE>"
                "</MDF>");
    ASSERT_TRUE(LoadMdfFile());
    LoadMdfObjects();
    log::LogInit();
  }
  void TearDown() override { log::LogCloseAll(); }

  // The main log with every tick count replaced by T.
  std::string Log() {
    log::LogCloseAll();
    std::istringstream in(test::ReadFile(log::CurrentLogFileNames().main));
    std::string out;
    for (std::string line; std::getline(in, line);) {
      const size_t blank = line.find_last_of(' ');
      if (line.rfind("PDUGetObjectId", 0) == 0 && blank != std::string::npos &&
          line.find_first_not_of("0123456789", blank + 1) == std::string::npos) {
        line = line.substr(0, blank) + " T";
      }
      out += line + "\n";
    }
    return out;
  }

  TempHome home_;
};

// (The log lines of a name found: golden construction-and-probe.)
TEST_F(GetObjectId, TheObjectTypeDoesNotNarrowTheSearch) {
  UNUM32 id = 0;
  char name[] = "ISO_OBD_on_K_Line";
  EXPECT_EQ(PDUGetObjectId(PDU_OBJT_COMPARAM, name, &id), 0u);
  EXPECT_EQ(id, 401u);  // the protocol, first in the file, not the resource
  EXPECT_EQ(PDUGetObjectId(PDU_OBJT_RESOURCE, name, &id), 0u);
  EXPECT_EQ(id, 401u);
}

TEST_F(GetObjectId, UnknownOrMiscasedNamesLeaveTheOutputUntouched) {
  UNUM32 id = 0xCAFE;
  char miscased[] = "cp_p2max";
  EXPECT_EQ(PDUGetObjectId(0x1234, miscased, &id), 0u);
  EXPECT_EQ(id, 0xCAFEu);
  EXPECT_EQ(Log(),
            "\nPDUGetObjectId T\n"
            "\t\t*pShortname = cp_p2max\n"
            "\t\t*pPduObjectId = 51966\n"
            "\t\t\tUNKNOW\n"
            "\nPDUGetObjectId  <PDU_STATUS_NOERROR> T\n");
}

TEST_F(GetObjectId, NullPointersAreInvalidParameters) {
  UNUM32 id = 7;
  char name[] = "CP_P2Max";
  EXPECT_EQ(PDUGetObjectId(PDU_OBJT_COMPARAM, nullptr, &id), 0x50u);
  EXPECT_EQ(id, 7u);
  EXPECT_EQ(PDUGetObjectId(PDU_OBJT_COMPARAM, name, nullptr), 0x50u);
  EXPECT_EQ(Log(),
            "\nPDUGetObjectId T\n"
            "\t\t*pShortname = (null)\n"
            "\nPDUGetObjectId  <PDU_ERR_INVALID_PARAMETERS> T\n"
            "\nPDUGetObjectId T\n"
            "\t\t*pShortname = CP_P2Max\n"
            "\nPDUGetObjectId  <PDU_ERR_INVALID_PARAMETERS> T\n");
}

}  // namespace
}  // namespace pdu::mdf
