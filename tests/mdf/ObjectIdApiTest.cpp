#include <gtest/gtest.h>

#include <sstream>
#include <string>

#include "log/PduLog.h"
#include "mdf/MdfTables.h"
#include "pdu_api.h"
#include "support/TempHome.h"

namespace pdu::mdf {
namespace {

using test::TempHome;

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
