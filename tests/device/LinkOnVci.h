// A fixture base for tests of the device commands: a DeviceLink on a test
// VCI's line, its receive thread running, published as the module's link
// (the one the command functions use) from OpenOn until TearDown.
#pragma once

#include <gtest/gtest.h>

#include <memory>

#include "device/DeviceLink.h"
#include "device/IoCtl.h"
#include "support/TestVci.h"

namespace pdu::device {

// The result of a reading (IoCtlExecute by control name); the item it
// makes is released here.
inline T_PDU_ERROR Reading(const char* control, uint32_t copIdle = 1) {
  PDU_DATA_ITEM* out = nullptr;
  const T_PDU_ERROR result = IoCtlExecute(1, 0, control, &out, copIdle);
  if (out != nullptr) {
    delete[] static_cast<uint32_t*>(out->pData);
    delete out;
  }
  return result;
}

template <class Base = ::testing::Test>
class LinkOnVci : public Base {
 protected:
  void OpenOn(const test::TestVci& vci) {
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
};

}  // namespace pdu::device
