// Shared pieces of the reliability tests: a constructed module against the
// pseudo-terminal test VCI with a CAN link from the shipped module
// description, a VCI that answers ComPrimitives like a healthy one, a
// callback that collects every item of every link, and a watchdog that
// turns a hang into a failed test.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "log/PduLog.h"
#include "pdu_api.h"
#include "support/TempHome.h"
#include "support/TestVci.h"

namespace pdu::reliability {

using test::Bytes;
using test::TestVci;
using test::VciFrame;
using test::VciReply;

inline constexpr uint32_t kMod = 1;
// RSC_ISO_15765_3_on_ISO_15765_2_6_14 of data/MDF.xml: requests go out
// with CAN id 0x7E0, the unique table expects answers from 0x7E8.
inline constexpr uint32_t kCanResource = 1001;

inline constexpr uint8_t kCmdOpen = 0x01;
inline constexpr uint8_t kCmdClose = 0x02;
inline constexpr uint8_t kCmdIoCtl = 0x03;
inline constexpr uint8_t kCmdProbe = 0x05;
inline constexpr uint8_t kCmdSetLinkResource = 0x08;
inline constexpr uint8_t kCmdSetLinkParam = 0x0F;
inline constexpr uint8_t kCmdCop = 0x10;
inline constexpr uint8_t kCmdConnectLink = 0x1A;

inline uint32_t WordAt(const Bytes& d, size_t offset) {
  uint32_t v = 0;
  if (offset + 4 <= d.size()) std::memcpy(&v, d.data() + offset, 4);
  return v;
}

inline uint32_t MsSince(std::chrono::steady_clock::time_point start) {
  return static_cast<uint32_t>(
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count());
}

// The replies of a healthy VCI to a COP: the command's answer, then for
// SENDRECV the ECU's positive response behind the response id 0x7E8 (the
// request's service + 0x40 and the rest of the request), for STARTCOMM and
// STOPCOMM an empty vehicle-data frame.
inline std::vector<VciReply> HealthyCopReplies(const VciFrame& f) {
  std::vector<VciReply> replies{TestVci::Answer(kCmdCop, 0)};
  test::VciCopRequest cop;
  if (!TestVci::ParseCop(f, cop)) return replies;
  Bytes message = {0xE8, 0x07, 0x00, 0x00};
  if (cop.copType == PDU_COPT_SENDRECV && cop.request.size() > 4) {
    message.push_back(static_cast<uint8_t>(cop.request[4] + 0x40));
    message.insert(message.end(), cop.request.begin() + 5, cop.request.end());
  }
  replies.push_back(TestVci::VehicleData(0, 0, 0, message));
  return replies;
}

// One item as the callback saw it.
struct SeenItem {
  uint32_t hCLL = 0;
  uint32_t type = 0;    // PDU_IT_*
  uint32_t hCop = 0;
  uint32_t status = 0;  // status items: PDU_COPST_* / PDU_CLLST_*
  uint32_t error = 0;   // error items: the error code
  Bytes data;           // result items
};

// Collects every item of every link it is registered for, fetched and
// released inside the callback on the engine thread as applications do.
// One recorder at a time (the callback is a plain function).
class ItemCollector {
 public:
  ItemCollector() { Current() = this; }
  ~ItemCollector() { Current() = nullptr; }
  ItemCollector(const ItemCollector&) = delete;
  ItemCollector& operator=(const ItemCollector&) = delete;

  static void PDU_CALL Callback(T_PDU_EVT_DATA, UNUM32 hMod, UNUM32 hCLL, void*, void*) {
    PDU_EVENT_ITEM* ev = nullptr;
    while (PDUGetEventItem(hMod, hCLL, &ev) == PDU_STATUS_NOERROR) {
      SeenItem item;
      item.hCLL = hCLL;
      item.type = ev->ItemType;
      item.hCop = ev->hCop;
      if (ev->ItemType == PDU_IT_STATUS) item.status = *static_cast<uint32_t*>(ev->pData);
      if (ev->ItemType == PDU_IT_ERROR) item.error = static_cast<PDU_ERROR_DATA*>(ev->pData)->ErrorCodeId;
      if (ev->ItemType == PDU_IT_RESULT) {
        auto* r = static_cast<PDU_RESULT_DATA*>(ev->pData);
        item.data.assign(r->pDataBytes, r->pDataBytes + r->NumDataBytes);
      }
      PDUDestroyItem(reinterpret_cast<PDU_ITEM*>(ev));
      ItemCollector* self = Current();
      if (self != nullptr) self->Add(item);
    }
  }

  void Add(const SeenItem& item) {
    std::lock_guard<std::mutex> g(m_);
    items_.push_back(item);
    if (item.type == PDU_IT_STATUS && item.status == PDU_COPST_FINISHED) ++finished_[item.hCop];
    cv_.notify_all();
  }
  // Waits until the ComPrimitive hCop has its FINISHED item.
  bool WaitFinished(uint32_t hCop, uint32_t timeoutMs) {
    std::unique_lock<std::mutex> g(m_);
    return cv_.wait_for(g, std::chrono::milliseconds(timeoutMs), [&] { return finished_.count(hCop) != 0; });
  }
  bool WaitCount(size_t count, uint32_t timeoutMs) {
    std::unique_lock<std::mutex> g(m_);
    return cv_.wait_for(g, std::chrono::milliseconds(timeoutMs), [&] { return items_.size() >= count; });
  }
  std::vector<SeenItem> Items() {
    std::lock_guard<std::mutex> g(m_);
    return items_;
  }
  // The items of one ComPrimitive, in order.
  std::vector<SeenItem> ItemsOf(uint32_t hCop) {
    std::vector<SeenItem> out;
    for (const SeenItem& i : Items())
      if (i.hCop == hCop) out.push_back(i);
    return out;
  }
  size_t FinishedCount(uint32_t hCop) {
    std::lock_guard<std::mutex> g(m_);
    auto it = finished_.find(hCop);
    return it == finished_.end() ? 0 : it->second;
  }

 private:
  static ItemCollector*& Current() {
    static ItemCollector* current = nullptr;
    return current;
  }
  std::mutex m_;
  std::condition_variable cv_;
  std::vector<SeenItem> items_;
  std::map<uint32_t, size_t> finished_;
};

// Fails the test process when Disarm is not called within the limit: a hang
// (deadlock, lost wake-up) shows as a failure with a message instead of a
// ctest timeout.
class Watchdog {
 public:
  Watchdog(uint32_t limitMs, std::string what) : what_(std::move(what)) {
    thread_ = std::thread([this, limitMs] {
      std::unique_lock<std::mutex> g(m_);
      if (!cv_.wait_for(g, std::chrono::milliseconds(limitMs), [&] { return disarmed_; })) {
        std::fprintf(stderr, "watchdog: %s did not finish within %u ms (deadlock?)\n", what_.c_str(), limitMs);
        std::fflush(stderr);
        std::_Exit(3);
      }
    });
  }
  ~Watchdog() { Disarm(); }
  Watchdog(const Watchdog&) = delete;
  Watchdog& operator=(const Watchdog&) = delete;

  void Disarm() {
    {
      std::lock_guard<std::mutex> g(m_);
      disarmed_ = true;
    }
    cv_.notify_all();
    if (thread_.joinable()) thread_.join();
  }

 private:
  std::string what_;
  std::mutex m_;
  std::condition_variable cv_;
  bool disarmed_ = false;
  std::thread thread_;
};

// A module constructed against a test VCI (or none), with helpers for links
// and ComPrimitives. PDUDestruct runs at the end of every test.
class ReliabilityTest : public ::testing::Test {
 protected:
  void SetUp() override {
    home_.CopyData("MDF.xml");
    vci_ = std::make_unique<TestVci>();
    vci_->SetHandler(kCmdCop, HealthyCopReplies);
  }
  void TearDown() override { PDUDestruct(); }

  void EnableLog() { home_.SetLogSwitch("1"); }
  // (The old ScopedPorts goes first: it restores the variable it found.)
  void UseVci(const TestVci& vci) {
    ports_.reset();
    ports_ = std::make_unique<test::ScopedPorts>(std::vector<std::string>{vci.Path()});
  }
  void UseNoVci() {
    ports_.reset();
    ports_ = std::make_unique<test::ScopedPorts>(std::vector<std::string>{home_.path() + "ttyNONE0"});
  }
  void Construct() {
    UseVci(*vci_);
    ASSERT_EQ(PDUConstruct(nullptr, nullptr), PDU_STATUS_NOERROR);
  }

  // A CAN link with the collector's callback, connected; its ONLINE status
  // item has been seen.
  uint32_t ConnectedLink() {
    uint32_t hCLL = 0;
    EXPECT_EQ(PDUCreateComLogicalLink(kMod, nullptr, kCanResource, nullptr, &hCLL, nullptr), PDU_STATUS_NOERROR);
    EXPECT_EQ(PDURegisterEventCallback(kMod, hCLL, ItemCollector::Callback), PDU_STATUS_NOERROR);
    const size_t before = items_.Items().size();
    EXPECT_EQ(PDUConnect(kMod, hCLL), PDU_STATUS_NOERROR);
    EXPECT_TRUE(items_.WaitCount(before + 1, 5000));
    return hCLL;
  }

  static uint32_t Start(uint32_t hCLL, T_PDU_COPT type, Bytes request = {}) {
    PDU_COP_CTRL_DATA ctrl{};
    ctrl.NumSendCycles = 1;
    ctrl.NumReceiveCycles = 1;
    uint32_t hCoP = 0;
    EXPECT_EQ(PDUStartComPrimitive(kMod, hCLL, type, static_cast<UNUM32>(request.size()),
                                   request.empty() ? nullptr : request.data(), &ctrl, nullptr, &hCoP),
              PDU_STATUS_NOERROR);
    return hCoP;
  }

  // The kinds of a ComPrimitive's items: status items as their status,
  // the others as their item type.
  std::vector<uint32_t> KindsOf(uint32_t hCop) {
    std::vector<uint32_t> k;
    for (const SeenItem& i : items_.ItemsOf(hCop)) k.push_back(i.type == PDU_IT_STATUS ? i.status : i.type);
    return k;
  }

  static std::string MainLog() { return test::ReadFile(log::CurrentLogFileNames().main); }

  test::TempHome home_;
  std::unique_ptr<TestVci> vci_;
  std::unique_ptr<test::ScopedPorts> ports_;
  ItemCollector items_;
};

}  // namespace pdu::reliability
