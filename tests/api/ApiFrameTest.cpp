#include <gtest/gtest.h>

#include <future>

#include "api/StatusName.h"
#include "engine/ApiLock.h"
#include "log/PduLog.h"
#include "pdu_api.h"
#include "support/TempHome.h"

namespace pdu::api {
namespace {

TEST(StatusName, KnownAndUnknownValues) {
  struct Row {
    uint32_t value;
    const char* name;
  };
  const Row rows[] = {
      {0x00, "<PDU_STATUS_NOERROR>"},
      {0x11, "<PDU_ERR_COMM_PC_TO_VCI_FAILED>"},
      {0x50, "<PDU_ERR_INVALID_PARAMETERS>"},
      {0x60, "<PDU_ERR_INVALID_HANDLE>"},
      {0x71, "<PDU_ERR_EVENT_QUEUE_EMPTY>"},
      {0xA4, "<PDU_ERR_API_SW_OUT_OF_DATA>"},
      {0xBC, "<PDU_ERR_DOIP_RESPNSE_TIMEOUT>"},
      {0x02, "<PDU_ERR_UNKNOW>"},
      {0xBD, "<PDU_ERR_UNKNOW>"},
      {0xFFFFFFFF, "<PDU_ERR_UNKNOW>"},
  };
  for (const Row& row : rows) EXPECT_STREQ(StatusName(row.value), row.name) << row.value;
}

TEST(ResourceLock, BothCallsAnswerNoErrorAndWriteTheirLines) {
  test::TempHome home;
  home.StartLog();
  EXPECT_EQ(PDULockResource(1, 2, 3), PDU_STATUS_NOERROR);
  EXPECT_EQ(PDUUnlockResource(0, 0xFFFFFFFF, 0), PDU_STATUS_NOERROR);
  EXPECT_EQ(test::TempHome::ClosedMainLog(),
            "PDULockResource  <PDU_STATUS_NOERROR>\n"
            "\n"
            "PDUUnlockResource\n"
            "PDUUnlockResource  <PDU_STATUS_NOERROR>\n");
}

TEST(ResourceLock, ReleasesTheApiLock) {
  EXPECT_EQ(PDULockResource(0, 0, 0), PDU_STATUS_NOERROR);
  // Another thread must get the lock at once.
  auto other = std::async(std::launch::async, [] {
    engine::ApiLockGuard g(engine::ApiLock());
    return true;
  });
  ASSERT_EQ(other.wait_for(std::chrono::seconds(2)), std::future_status::ready);
}

}  // namespace
}  // namespace pdu::api
