// The device commands against the test VCI: exact payloads, result mapping,
// vehicle-data records and the I/O controls.
#include "device/DeviceCommands.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>

#include "device/DeviceLink.h"
#include "device/IoCtl.h"
#include "mdf/MdfTables.h"
#include "mdf/ObjectIds.h"
#include "platform/Platform.h"
#include "support/TempHome.h"
#include "support/TestVci.h"

namespace pdu::device {
namespace {

using test::Bytes;
using test::TestVci;
using test::VciFrame;

Bytes W(std::initializer_list<uint32_t> words) { return TestVci::Words(words); }

Bytes Cat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

class DeviceCommandsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    link_ = std::make_unique<DeviceLink>();
    ASSERT_TRUE(link_->OpenPortPath(vci.Path()));
    link_->StartReadThread();
    SetDeviceLink(link_.get());
  }
  void TearDown() override {
    SetDeviceLink(nullptr);
    link_.reset();
  }

  std::unique_ptr<DeviceLink> link_;

  // The one frame the last command sent.
  VciFrame LastFrame() {
    EXPECT_TRUE(vci.WaitForFrames(1, 2000));
    auto frames = vci.Frames();
    vci.ClearFrames();
    return frames.empty() ? VciFrame{} : frames.back();
  }
  bool NothingSent() {
    platform::SleepMs(30);
    return vci.FrameCount() == 0;
  }

  TestVci vci;
};

// Loads the sample module description so that ComParams have short names.
class WithModuleDescription {
 public:
  WithModuleDescription() {
    home_.CopyData("MDF.xml");
    loaded_ = mdf::LoadMdfFile();
    if (loaded_) mdf::LoadMdfObjects();
  }
  bool loaded() const { return loaded_; }
  static uint32_t Id(const char* name) {
    uint32_t id = 0;
    EXPECT_TRUE(mdf::ObjectIdByShortName(name, id)) << name;
    return id;
  }

 private:
  test::TempHome home_;
  bool loaded_ = false;
};

PDU_PARAM_ITEM U32Item(uint32_t id, uint32_t* value) {
  return PDU_PARAM_ITEM{PDU_IT_PARAM, id, PDU_PT_UNUM32, PDU_PC_UNIQUE_ID, value};
}

TEST_F(DeviceCommandsTest, PayloadsAreLaidOutWordByWord) {
  PDU_PIN_DATA pins[2] = {{6, 1}, {14, 2}};
  PDU_RSC_DATA rsc{12, 3, 2, pins};
  uint8_t flagBytes[3] = {0xA1, 0xA2, 0xA3};
  PDU_FLAG_DATA flags{3, flagBytes};
  uint8_t fieldBytes[3] = {0x02, 0x3E, 0x80};
  PDU_PARAM_BYTEFIELD_DATA field{12, 3, fieldBytes};
  PDU_PARAM_ITEM byteItem{PDU_IT_PARAM, 900, PDU_PT_BYTEFIELD, PDU_PC_COM, &field};
  uint32_t u32 = 0x12345678;
  PDU_PARAM_ITEM u32Item{PDU_IT_PARAM, 901, PDU_PT_UNUM32, PDU_PC_TIMING, &u32};
  uint8_t u8 = 0xF1;
  PDU_PARAM_ITEM u8Item{PDU_IT_PARAM, 902, PDU_PT_UNUM8, PDU_PC_COM, &u8};
  const uint8_t request[] = {0x22, 0xF1, 0x90};
  uint8_t tx[2] = {0x01, 0x02};
  PDU_COP_CTRL_DATA ctrl{};
  ctrl.NumSendCycles = 1;
  ctrl.NumReceiveCycles = -1;
  ctrl.TxFlag = {2, tx};

  struct Case {
    const char* what;
    std::function<T_PDU_ERROR()> call;
    uint8_t command;
    Bytes payload;
  };
  const Case cases[] = {
      {"OPEN", [] { return VciOpen(); }, VCI_CMD_OPEN, {}},
      {"SET_LINK_RESOURCE", [&] { return VciSetLinkResource(1, 7, rsc, &flags); },
       VCI_CMD_SET_LINK_RESOURCE,
       Cat({W({1, 12, 3, 2, 6, 1, 14, 2, 0, 7, 3}), Bytes{0xA1, 0xA2, 0xA3}})},
      {"SET_LINK_RESOURCE without flags", [&] { return VciSetLinkResource(1, 7, rsc, nullptr); },
       VCI_CMD_SET_LINK_RESOURCE, W({1, 12, 3, 2, 6, 1, 14, 2, 0, 7, 0})},
      {"SET_LINK_PARAM byte field", [&] { return VciSetLinkParam(1, 7, 42, byteItem); },
       VCI_CMD_SET_LINK_PARAM, Cat({W({1, 7, 42, PDU_PT_BYTEFIELD}), Bytes{12, 3, 0x02, 0x3E, 0x80}})},
      {"SET_LINK_PARAM u32", [&] { return VciSetLinkParam(1, 7, 15, u32Item); },
       VCI_CMD_SET_LINK_PARAM, W({1, 7, 15, PDU_PT_UNUM32, 0x12345678})},
      {"SET_LINK_PARAM u8", [&] { return VciSetLinkParam(1, 7, 16, u8Item); },
       VCI_CMD_SET_LINK_PARAM, W({1, 7, 16, PDU_PT_UNUM8, 0xF1})},
      {"COP", [&] { return VciCop(1, 7, PDU_COPT_SENDRECV, request, 3, &ctrl); }, VCI_CMD_COP,
       Cat({W({1, 7, PDU_COPT_SENDRECV, 3}), Bytes{0x22, 0xF1, 0x90}, W({1, 0xFFFFFFFF, 2}),
            Bytes{0x01, 0x02}})},
      {"COP without control data", [&] { return VciCop(1, 7, PDU_COPT_STARTCOMM, nullptr, 0, nullptr); },
       VCI_CMD_COP, W({1, 7, PDU_COPT_STARTCOMM, 0, 0, 0, 0})},
      {"DESTROY_LINK", [] { return VciDestroyLink(1, 7); }, VCI_CMD_DESTROY_LINK, W({1, 7})},
      {"DISCONNECT_LINK", [] { return VciDisconnectLink(); }, VCI_CMD_DISCONNECT_LINK, {}},
      {"MODULE_CONNECT", [] { return VciModuleConnect(1); }, VCI_CMD_MODULE_CONNECT, W({1})},
      {"MODULE_DISCONNECT", [] { return VciModuleDisconnect(1); }, VCI_CMD_MODULE_DISCONNECT, W({1})},
      {"CLOSE", [] { return VciClose(); }, VCI_CMD_CLOSE, W({0})},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(c.call(), PDU_STATUS_NOERROR);
    VciFrame f = LastFrame();
    EXPECT_EQ(f.channel, kChannelVehicle);
    EXPECT_EQ(f.command, c.command);
    EXPECT_EQ(f.data, c.payload);
    if (c.command == VCI_CMD_COP) {
      test::VciCopRequest cop;
      EXPECT_TRUE(TestVci::ParseCop(f, cop)) << "the test VCI reads what the library sends";
    }
  }
  EXPECT_FALSE(link_->PortIsOpen()) << "an answered CLOSE closes the port";
}

TEST_F(DeviceCommandsTest, SetLinkParamLengthsFollowTheDataType) {
  uint8_t bytes[3] = {1, 2, 3};
  PDU_PARAM_BYTEFIELD_DATA field{3, 3, bytes};
  PDU_PARAM_ITEM byteItem{PDU_IT_PARAM, 1, PDU_PT_BYTEFIELD, PDU_PC_COM, &field};
  uint32_t v = 500000;
  PDU_PARAM_ITEM u32Item{PDU_IT_PARAM, 2, PDU_PT_UNUM32, PDU_PC_BUSTYPE, &v};
  VciSetLinkParam(1, 1, 1, byteItem);
  EXPECT_EQ(LastFrame().data.size(), 21u);
  VciSetLinkParam(1, 1, 1, u32Item);
  EXPECT_EQ(LastFrame().data.size(), 20u);
}

TEST_F(DeviceCommandsTest, StatusOfTheAnswerIsTheResult) {
  const uint8_t commands[] = {VCI_CMD_OPEN, VCI_CMD_SET_LINK_RESOURCE, VCI_CMD_DESTROY_LINK,
                              VCI_CMD_DISCONNECT_LINK, VCI_CMD_SET_LINK_PARAM, VCI_CMD_COP,
                              VCI_CMD_CONNECT_LINK, VCI_CMD_MODULE_CONNECT,
                              VCI_CMD_MODULE_DISCONNECT};
  for (uint8_t c : commands) vci.SetStatus(c, 0x33);
  PDU_RSC_DATA rsc{12, 3, 0, nullptr};
  uint32_t v = 1;
  PDU_PARAM_ITEM item{PDU_IT_PARAM, 1, PDU_PT_UNUM32, PDU_PC_COM, &v};
  uint32_t openWord = 0xAAAA;
  EXPECT_EQ(VciOpen(&openWord), 0x33u);
  EXPECT_EQ(openWord, 0xAAAAu) << "the word is taken only from a successful open";
  EXPECT_EQ(VciSetLinkResource(1, 1, rsc, nullptr), 0x33u);
  EXPECT_EQ(VciDestroyLink(1, 1), 0x33u);
  EXPECT_EQ(VciDisconnectLink(), 0x33u);
  EXPECT_EQ(VciSetLinkParam(1, 1, 1, item), 0x33u);
  EXPECT_EQ(VciCop(1, 1, PDU_COPT_SENDRECV, nullptr, 0, nullptr), 0x33u);
  EXPECT_EQ(VciConnectLink(1, 1, nullptr), PDU_STATUS_NOERROR) << "only the arrival counts";
  EXPECT_EQ(VciModuleConnect(1), 0x33u);
  EXPECT_EQ(VciModuleDisconnect(1), 0x33u);

  vci.SetStatus(VCI_CMD_OPEN, 0);
  vci.SetOpenWord(0x01020304);
  EXPECT_EQ(VciOpen(&openWord), PDU_STATUS_NOERROR);
  EXPECT_EQ(openWord, 0x01020304u);
}

TEST_F(DeviceCommandsTest, NoAnswerIsACommunicationFailure) {
  vci.SetSilent(true);
  PDU_RSC_DATA rsc{12, 3, 0, nullptr};
  uint32_t v = 1;
  PDU_PARAM_ITEM item{PDU_IT_PARAM, 1, PDU_PT_UNUM32, PDU_PC_COM, &v};
  EXPECT_EQ(VciSetLinkResource(1, 1, rsc, nullptr), PDU_ERR_COMM_PC_TO_VCI_FAILED);
  EXPECT_EQ(VciDestroyLink(1, 1), PDU_ERR_COMM_PC_TO_VCI_FAILED);
  EXPECT_EQ(VciDisconnectLink(), PDU_ERR_COMM_PC_TO_VCI_FAILED);
  EXPECT_EQ(VciSetLinkParam(1, 1, 1, item), PDU_ERR_COMM_PC_TO_VCI_FAILED);
  EXPECT_EQ(VciConnectLink(1, 1, nullptr), PDU_ERR_COMM_PC_TO_VCI_FAILED);
  EXPECT_EQ(VciModuleConnect(1), PDU_ERR_COMM_PC_TO_VCI_FAILED);
  EXPECT_EQ(VciModuleDisconnect(1), PDU_ERR_COMM_PC_TO_VCI_FAILED);
  EXPECT_EQ(VciClose(), PDU_ERR_COMM_PC_TO_VCI_FAILED);
  EXPECT_TRUE(link_->PortIsOpen()) << "a failed CLOSE leaves the port to the caller";

  // An answer without the whole status word is no answer.
  vci.SetSilent(false);
  vci.Script(VCI_CMD_MODULE_CONNECT, {{kChannelVehicle, VCI_CMD_MODULE_CONNECT, {0, 0, 0}, 0}});
  EXPECT_EQ(VciModuleConnect(1), PDU_ERR_COMM_PC_TO_VCI_FAILED);
}

TEST_F(DeviceCommandsTest, OpenWithoutAWorkingPortGivesSeven) {
  vci.HangUp();
  EXPECT_EQ(VciOpen(), kOpenNoAnswer);
}

TEST(DeviceCommandsNoDevice, NothingIsSentWithoutADeviceLink) {
  TestVci vci;
  SetDeviceLink(nullptr);
  PDU_RSC_DATA rsc{12, 3, 0, nullptr};
  uint32_t v = 1;
  PDU_PARAM_ITEM item{PDU_IT_PARAM, 1, PDU_PT_UNUM32, PDU_PC_COM, &v};
  EXPECT_EQ(VciOpen(), kOpenNoAnswer);
  EXPECT_EQ(VciClose(), PDU_ERR_COMM_PC_TO_VCI_FAILED);
  EXPECT_EQ(VciSetLinkResource(1, 1, rsc, nullptr), PDU_ERR_COMM_PC_TO_VCI_FAILED);
  EXPECT_EQ(VciSetLinkParam(1, 1, 1, item), PDU_ERR_COMM_PC_TO_VCI_FAILED);
  EXPECT_EQ(VciCop(1, 1, PDU_COPT_SENDRECV, nullptr, 0, nullptr), PDU_ERR_COMM_PC_TO_VCI_FAILED);
  EXPECT_EQ(VciConnectLinkTp20(1, 1, nullptr, 0), PDU_ERR_COMM_PC_TO_VCI_FAILED);
  EXPECT_EQ(VciDestroyLink(1, 1), PDU_ERR_COMM_PC_TO_VCI_FAILED);
  EXPECT_EQ(VciDisconnectLink(), PDU_ERR_COMM_PC_TO_VCI_FAILED);
  EXPECT_EQ(VciModuleConnect(1), PDU_ERR_COMM_PC_TO_VCI_FAILED);
  EXPECT_EQ(VciModuleDisconnect(1), PDU_ERR_COMM_PC_TO_VCI_FAILED);
  uint32_t len = 99;
  EXPECT_EQ(ReadVehicleData(10, len), kNoVehicleData);
  EXPECT_EQ(len, 0u);

  PDU_DATA_ITEM* out = nullptr;
  EXPECT_EQ(IoCtlExecute(1, 0, "PDU_IOCTL_READ_VBATT", &out, 1), PDU_ERR_FCT_FAILED);
  ASSERT_NE(out, nullptr);
  EXPECT_EQ(out->ItemType, PDU_IT_IO_UNUM32);
  EXPECT_EQ(*static_cast<uint32_t*>(out->pData), 0u);
  delete[] static_cast<uint32_t*>(out->pData);
  delete out;
  out = nullptr;
  EXPECT_EQ(IoCtlExecute(1, 0, "PDU_IOCTL_READ_IGNITION_SENSE_STATE", &out, 1), PDU_ERR_FCT_FAILED);
  ASSERT_NE(out, nullptr);
  EXPECT_EQ(*static_cast<uint32_t*>(out->pData), 0u);
  delete[] static_cast<uint32_t*>(out->pData);
  delete out;
  EXPECT_EQ(vci.FrameCount(), 0u);
}

TEST_F(DeviceCommandsTest, ConnectLinkSendsCodedComParamsOfAllEntries) {
  WithModuleDescription mdf;
  ASSERT_TRUE(mdf.loaded());
  const uint32_t usdt = WithModuleDescription::Id("CP_CanRespUSDTId");
  const uint32_t phys = WithModuleDescription::Id("CP_CanPhysReqId");
  const uint32_t p2 = WithModuleDescription::Id("CP_P2Max");
  const uint32_t con = WithModuleDescription::Id("CPM_VWTP_PhysRespIdCon");
  uint32_t v1 = 0x7E8, v2 = 25000, v3 = 0x7E0, v4 = 0x7E9, v5 = 0x300;
  PDU_PARAM_ITEM first[3] = {U32Item(usdt, &v1), U32Item(p2, &v2), U32Item(phys, &v3)};
  PDU_PARAM_ITEM second[2] = {U32Item(usdt, &v4), U32Item(con, &v5)};
  PDU_ECU_UNIQUE_RESP_DATA entries[2] = {{5, 3, first}, {6, 2, second}};
  PDU_UNIQUE_RESP_ID_TABLE_ITEM table{PDU_IT_UNIQUE_RESP_ID_TABLE, 2, entries};

  vci.SetStatus(VCI_CMD_CONNECT_LINK, 0x44);
  EXPECT_EQ(VciConnectLink(1, 3, &table), PDU_STATUS_NOERROR);
  const Bytes head = W({1, 3, PDU_IT_UNIQUE_RESP_ID_TABLE, 2, 5, 2});
  VciFrame plain = LastFrame();
  EXPECT_EQ(plain.data, Cat({head, Bytes{0x53}, W({0x7E8}), Bytes{0x50}, W({0x7E0}), Bytes{0x53},
                             W({0x7E9}), Bytes{0xD0}, W({0x300})}));
  EXPECT_EQ(plain.data.size(), 24u + 5 * 4);

  EXPECT_EQ(VciConnectLinkTp20(1, 3, &table, 2), PDU_STATUS_NOERROR);
  VciFrame tp20 = LastFrame();
  EXPECT_EQ(tp20.data, Cat({head, Bytes{0x53}, W({0x7E8}), Bytes{0x50}, W({0x7E0}), Bytes{0x53},
                            W({0x7E9}), Bytes{0xD0}, W({0x302})}));
}

TEST_F(DeviceCommandsTest, VehicleDataBecomesARecordInRxData) {
  vci.SendVehicleData(0x0, 0xCAFE, 9, {0x62, 0xF1});
  uint32_t len = 0;
  EXPECT_EQ(ReadVehicleData(500, len), 0u);
  ASSERT_EQ(len, 22u);
  EXPECT_EQ(Bytes(g_RxData, g_RxData + 22), Cat({W({0xCAFE, 9, 0, 0, 2}), Bytes{0x62, 0xF1}}));
  VehicleDataRecord header{};
  std::memcpy(&header, g_RxData, sizeof header);
  EXPECT_EQ(header.NumDataBytes, 2u);

  // The frame's status word is the result; a record beyond g_RxData is cut.
  vci.SendVehicleData(0x21, 0, 1, Bytes(4100, 0x5A));
  EXPECT_EQ(ReadVehicleData(500, len), 0x21u);
  EXPECT_EQ(len, kRxDataSize);
  EXPECT_EQ(g_RxData[kRxDataSize - 1], 0x5A);

  const uint64_t t0 = platform::MonotonicMicros();
  EXPECT_EQ(ReadVehicleData(100, len), kNoVehicleData);
  EXPECT_GE(platform::MonotonicMicros() - t0, 125000u) << "waits the timeout plus 30 ms";
}

TEST_F(DeviceCommandsTest, ReadingsAskTheVciWhileTheEngineIsIdle) {
  vci.SetBatteryMillivolts(12600);
  vci.SetIgnitionState(0);
  PDU_DATA_ITEM* out = nullptr;
  EXPECT_EQ(IoCtlExecute(1, 4, "PDU_IOCTL_READ_VBATT", &out, 1), PDU_STATUS_NOERROR);
  VciFrame f = LastFrame();
  EXPECT_EQ(f.command, VCI_CMD_IOCTL);
  EXPECT_EQ(f.data, Cat({W({1, 4}), Bytes{0x06}}));
  ASSERT_NE(out, nullptr);
  EXPECT_EQ(out->ItemType, PDU_IT_IO_UNUM32);
  EXPECT_EQ(*static_cast<uint32_t*>(out->pData), 12600u);
  delete[] static_cast<uint32_t*>(out->pData);
  delete out;

  EXPECT_EQ(IoCtlExecute(1, 4, "PDU_IOCTL_READ_IGNITION_SENSE_STATE", &out, 1), PDU_STATUS_NOERROR);
  EXPECT_EQ(LastFrame().data, Cat({W({1, 4}), Bytes{0x11}}));
  EXPECT_EQ(*static_cast<uint32_t*>(out->pData), 0u);
  delete[] static_cast<uint32_t*>(out->pData);
  delete out;

  // A status from the VCI is the result, with the item filled all the same.
  vci.SetStatus(VCI_CMD_IOCTL, 0x40);
  EXPECT_EQ(IoCtlExecute(1, 4, "PDU_IOCTL_READ_VBATT", &out, 1), 0x40u);
  EXPECT_EQ(*static_cast<uint32_t*>(out->pData), 12600u);
  delete[] static_cast<uint32_t*>(out->pData);
  delete out;

  // No answer in time.
  vci.SetSilent(true);
  EXPECT_EQ(IoCtlExecute(1, 4, "PDU_IOCTL_READ_IGNITION_SENSE_STATE", &out, 1), PDU_ERR_FCT_FAILED);
  EXPECT_EQ(*static_cast<uint32_t*>(out->pData), 0u);
  delete[] static_cast<uint32_t*>(out->pData);
  delete out;
}

TEST_F(DeviceCommandsTest, ReadingsAnswerLocallyWhileTheEngineIsBusy) {
  PDU_DATA_ITEM* out = nullptr;
  EXPECT_EQ(IoCtlExecute(1, 4, "PDU_IOCTL_READ_VBATT", &out, 0), PDU_STATUS_NOERROR);
  ASSERT_NE(out, nullptr);
  const uint32_t mv = *static_cast<uint32_t*>(out->pData);
  EXPECT_GE(mv, 11846u);
  EXPECT_LE(mv, 12844u);
  EXPECT_EQ(out->ItemType, PDU_IT_IO_UNUM32);
  delete[] static_cast<uint32_t*>(out->pData);
  delete out;
  EXPECT_EQ(IoCtlExecute(1, 4, "PDU_IOCTL_READ_IGNITION_SENSE_STATE", &out, 0), PDU_STATUS_NOERROR);
  EXPECT_EQ(*static_cast<uint32_t*>(out->pData), 1u);
  delete[] static_cast<uint32_t*>(out->pData);
  delete out;
  EXPECT_TRUE(NothingSent());
}

TEST_F(DeviceCommandsTest, OtherControlsSendNothing) {
  struct Case {
    const char* name;
    T_PDU_ERROR result;
  };
  const Case cases[] = {
      {"PDU_IOCTL_GET_SSIDS", PDU_ERR_ID_NOT_SUPPORTED},
      {"PDU_IOCTL_GET_WLAN_STATUS", PDU_ERR_ID_NOT_SUPPORTED},
      {"PDU_IOCTL_GET_ETH_SWITCH_STATE", PDU_ERR_ID_NOT_SUPPORTED},
      {"PDU_IOCTL_SET_PROG_VOLTAGE", PDU_STATUS_NOERROR},
      {"PDU_IOCTL_RESET", PDU_STATUS_NOERROR},
      {"", PDU_STATUS_NOERROR},                      // an id that names no control
      {"pdu_ioctl_read_vbatt", PDU_STATUS_NOERROR},  // names compare case-sensitively
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    PDU_DATA_ITEM* out = reinterpret_cast<PDU_DATA_ITEM*>(0x1);
    EXPECT_EQ(IoCtlExecute(1, 0, c.name, &out, 1), c.result);
    EXPECT_EQ(out, reinterpret_cast<PDU_DATA_ITEM*>(0x1)) << "output untouched";
  }
  EXPECT_EQ(IoCtlExecute(1, 0, "PDU_IOCTL_READ_VBATT", nullptr, 1), PDU_ERR_INVALID_PARAMETERS);
  EXPECT_TRUE(NothingSent());
}

TEST(IoCtl, SubstituteVoltageStaysInRangeOnBothSides) {
  bool above = false, below = false;
  for (uint32_t seed = 0; seed < 2000; ++seed) {
    const uint32_t mv = SubstituteBatteryVoltage(seed * 7919u);
    ASSERT_GE(mv, 11846u);
    ASSERT_LE(mv, 12844u);
    above |= mv > 12345;
    below |= mv < 12345;
  }
  EXPECT_TRUE(above && below);
}

}  // namespace
}  // namespace pdu::device
