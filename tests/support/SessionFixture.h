// The one fixture of the tests that run a whole module through the API: an
// application folder with the shipped module description, a test VCI (or
// none), a callback that collects every item the way applications fetch
// them, and helpers for links, ComParams and ComPrimitives. PDUDestruct
// runs at the end of every test.
//
// Item types, states and data types are written as numbers here on purpose,
// so that a wrong constant in the library's header cannot hide behind its
// own name.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "engine/ApiLock.h"
#include "engine/LinkTables.h"
#include "log/PduLog.h"
#include "mdf/ObjectIds.h"
#include "platform/Clock.h"
#include "pdu_api.h"
#include "protocol/ZPDUProtocolHandling.h"
#include "support/ModuleProbe.h"
#include "support/TempHome.h"
#include "support/TestVci.h"
#include "support/WireCodes.h"

namespace pdu::test {

inline constexpr uint32_t kMod = 1;
// RSC_ISO_15765_3_on_ISO_15765_2_6_14 of data/MDF.xml: requests go out
// with CAN id 0x7E0, the unique table expects answers from 0x7E8.
inline constexpr uint32_t kCanResource = 1001;

// Item types and states as the application receives them.
inline constexpr uint32_t kItemResult = 0x1300;
inline constexpr uint32_t kItemStatus = 0x1301;
inline constexpr uint32_t kItemError = 0x1302;
inline constexpr uint32_t kFinished = 0x8012;

// Which module description the application folder gets.
enum class Mdf { kShipped, kStandardStyle };

// ComPrimitive types and states as the application sees them.
inline constexpr uint32_t kStartComm = 0x8001, kUpdateParam = 0x8003, kSendRecv = 0x8004, kDelay = 0x8005;
inline constexpr uint32_t kExecuting = 0x8011, kOffline = 0x8050;

// The object id of an MDF short name (the shipped MDF.xml's, once loaded).
inline uint32_t IdOf(const char* shortName) {
  uint32_t id = 0;
  EXPECT_TRUE(mdf::ObjectIdByShortName(shortName, id)) << shortName;
  return id;
}

// Little-endian word at a byte offset of a payload.
inline uint32_t WordAt(const Bytes& d, size_t offset) {
  uint32_t v = 0;
  if (offset + 4 <= d.size()) std::memcpy(&v, d.data() + offset, 4);
  return v;
}

inline uint32_t MsSince(std::chrono::steady_clock::time_point start) {
  return static_cast<uint32_t>(
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count());
}

// A ComParam as the application sees it, with the value read out.
struct ParamValue {
  uint32_t type = 0, cpClass = 0;
  bool hasValue = false;
  uint32_t number = 0;         // scalar types
  uint32_t maxLen = 0;         // fields
  std::vector<uint32_t> data;  // fields: bytes or longs
};

inline ParamValue ReadParam(const PDU_PARAM_ITEM& item) {
  ParamValue v;
  v.type = item.ComParamDataType;
  v.cpClass = item.ComParamClass;
  v.hasValue = item.pComParamData != nullptr;
  if (!v.hasValue) return v;
  auto field = [&v](const auto* f) {
    v.maxLen = f->ParamMaxLen;
    v.data.assign(f->pDataArray, f->pDataArray + f->ParamActLen);
  };
  switch (item.ComParamDataType) {
    case 0x101: v.number = *static_cast<uint8_t*>(item.pComParamData); break;                  // UNUM8
    case 0x103: v.number = *static_cast<uint16_t*>(item.pComParamData); break;                 // UNUM16
    case 0x107: field(static_cast<PDU_PARAM_BYTEFIELD_DATA*>(item.pComParamData)); break;      // BYTEFIELD
    case 0x109: field(static_cast<PDU_PARAM_LONGFIELD_DATA*>(item.pComParamData)); break;      // LONGFIELD
    default: std::memcpy(&v.number, item.pComParamData, 4); break;
  }
  return v;
}

// The replies of a healthy VCI to a COP: the command's answer, then for
// SENDRECV the ECU's positive response behind the response id 0x7E8 (the
// request's service + 0x40 and the rest of the request), for STARTCOMM and
// STOPCOMM an empty vehicle-data frame.
inline std::vector<VciReply> HealthyCopReplies(const VciFrame& f) {
  std::vector<VciReply> replies{TestVci::Answer(kCmdCop, 0)};
  VciCopRequest cop;
  if (!TestVci::ParseCop(f, cop)) return replies;
  Bytes message = {0xE8, 0x07, 0x00, 0x00};
  if (cop.copType == 0x8004 && cop.request.size() > 4) {
    message.push_back(static_cast<uint8_t>(cop.request[4] + 0x40));
    message.insert(message.end(), cop.request.begin() + 5, cop.request.end());
  }
  replies.push_back(TestVci::VehicleData(0, 0, 0, message));
  return replies;
}

// One item as the callback saw it.
struct SeenItem {
  uint32_t hCLL = 0, type = 0, hCop = 0;
  uint32_t status = 0;  // status items
  uint32_t error = 0;   // error items: the error code
  Bytes data;           // result items
  uint32_t timestamp = 0;
  uint32_t startMsgTimestamp = 0;  // result items
  void* copTag = nullptr;          // the item's pCoPTag
};

// Collects every item of every link it is registered for, fetched and
// released inside the callback on the engine thread as applications do.
// One collector at a time (the callback is a plain function).
class ItemCollector {
 public:
  ItemCollector() { Current() = this; }
  ~ItemCollector() { Current() = nullptr; }
  ItemCollector(const ItemCollector&) = delete;
  ItemCollector& operator=(const ItemCollector&) = delete;

  static void PDU_CALL Callback(T_PDU_EVT_DATA, UNUM32 hMod, UNUM32 hCLL, void*, void*) {
    for (const SeenItem& item : Fetch(hMod, hCLL))
      if (ItemCollector* self = Current()) self->Add(item);
  }
  // Fetches and releases every item waiting for the link.
  static std::vector<SeenItem> Fetch(uint32_t hMod, uint32_t hCLL) {
    std::vector<SeenItem> out;
    PDU_EVENT_ITEM* ev = nullptr;
    while (PDUGetEventItem(hMod, hCLL, &ev) == 0) {
      SeenItem item;
      item.hCLL = hCLL;
      item.type = ev->ItemType;
      item.hCop = ev->hCop;
      item.timestamp = ev->Timestamp;
      item.copTag = ev->pCoPTag;
      if (ev->ItemType == kItemStatus) item.status = *static_cast<uint32_t*>(ev->pData);
      if (ev->ItemType == kItemError) item.error = static_cast<PDU_ERROR_DATA*>(ev->pData)->ErrorCodeId;
      if (ev->ItemType == kItemResult) {
        auto* r = static_cast<PDU_RESULT_DATA*>(ev->pData);
        item.data.assign(r->pDataBytes, r->pDataBytes + r->NumDataBytes);
        item.startMsgTimestamp = r->StartMsgTimestamp;
      }
      EXPECT_EQ(PDUDestroyItem(reinterpret_cast<PDU_ITEM*>(ev)), 0u);
      out.push_back(item);
    }
    return out;
  }

  void Add(const SeenItem& item) {
    std::lock_guard<std::mutex> g(m_);
    items_.push_back(item);
    if (item.type == kItemStatus && item.status == kFinished) ++finished_[item.hCop];
    cv_.notify_all();
  }
  // Waits until count items arrived; false after timeoutMs.
  bool WaitCount(size_t count, uint32_t timeoutMs = 5000) {
    std::unique_lock<std::mutex> g(m_);
    return cv_.wait_for(g, std::chrono::milliseconds(timeoutMs), [&] { return items_.size() >= count; });
  }
  // Waits until a status item with this state came after the first from
  // items.
  bool WaitStatus(uint32_t state, size_t from = 0, uint32_t timeoutMs = 10000) {
    std::unique_lock<std::mutex> g(m_);
    return cv_.wait_for(g, std::chrono::milliseconds(timeoutMs), [&] {
      for (size_t i = from; i < items_.size(); ++i)
        if (items_[i].type == kItemStatus && items_[i].status == state) return true;
      return false;
    });
  }
  // Waits until the ComPrimitive hCop has its FINISHED item.
  bool WaitFinished(uint32_t hCop, uint32_t timeoutMs) {
    std::unique_lock<std::mutex> g(m_);
    return cv_.wait_for(g, std::chrono::milliseconds(timeoutMs), [&] { return finished_.count(hCop) != 0; });
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
  // Status items as their state, other items as their type.
  static std::vector<uint32_t> Kinds(const std::vector<SeenItem>& items) {
    std::vector<uint32_t> k;
    for (const SeenItem& i : items) k.push_back(i.type == kItemStatus ? i.status : i.type);
    return k;
  }
  std::vector<uint32_t> Kinds() { return Kinds(Items()); }

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

class SessionTest : public ::testing::Test {
 protected:
  void SetUp() override { home_.CopyData("MDF.xml"); }
  void TearDown() override { PDUDestruct(); }

  void EnableLog() { home_.SetLogSwitch("1"); }
  // (The old ScopedPorts goes first: it restores the variable it found.)
  void UsePort(const std::string& path) {
    ports_.reset();
    ports_ = std::make_unique<ScopedPorts>(std::vector<std::string>{path});
  }
  void UseVci(const TestVci& vci) { UsePort(vci.Path()); }
  void UseVci() { UseVci(vci_); }
  void UseNoVci() { UsePort(home_.path() + "ttyNONE0"); }

  // Constructs against the test VCI (or against no VCI at all).
  void Construct(Mdf mdf = Mdf::kShipped, bool withVci = true, bool logging = false) {
    if (logging) EnableLog();
    if (mdf == Mdf::kStandardStyle) {
      home_.Write("MDF.xml", ReadFile(std::string(PDU7318_SOURCE_DIR) + "/tests/api/StandardStyleMdf.xml"));
    }
    withVci ? UseVci() : UseNoVci();
    ASSERT_EQ(PDUConstruct(nullptr, nullptr), 0u);
  }

  // The main log file's text so far.
  static std::string MainLog() { return ReadFile(log::CurrentLogFileNames().main); }

  static uint32_t Id(const char* shortName) { return IdOf(shortName); }

  static uint32_t ByResource(uint32_t resourceId, Bytes flags = {}) {
    PDU_FLAG_DATA flag{static_cast<UNUM32>(flags.size()), flags.empty() ? nullptr : flags.data()};
    uint32_t h = 0;
    EXPECT_EQ(PDUCreateComLogicalLink(kMod, nullptr, resourceId, nullptr, &h, &flag), 0u);
    return h;
  }

  static uint32_t ByRscData(const char* busType, const char* protocol, T_PDU_ERROR expect = 0) {
    PDU_PIN_DATA pins[2] = {{6, Id("HI")}, {14, Id("LOW")}};
    PDU_RSC_DATA rsc{Id(busType), Id(protocol), 2, pins};
    uint32_t h = 0;
    EXPECT_EQ(PDUCreateComLogicalLink(kMod, &rsc, 0, nullptr, &h, nullptr), expect);
    return h;
  }

  // A link (CAN unless told) with the collector's callback (or one that
  // calls it), connected; its ONLINE status item has been seen.
  uint32_t ConnectedLink(uint32_t resourceId = kCanResource, CALLBACKFNC callback = ItemCollector::Callback) {
    const uint32_t hCLL = ByResource(resourceId);
    EXPECT_EQ(PDURegisterEventCallback(kMod, hCLL, callback), 0u);
    const size_t before = items_.Items().size();
    EXPECT_EQ(PDUConnect(kMod, hCLL), 0u);
    EXPECT_TRUE(items_.WaitCount(before + 1, 5000)) << resourceId << " not ONLINE";
    return hCLL;
  }

  // Connects the link; the frames of this command the connect sent.
  std::vector<VciFrame> ConnectSends(uint32_t hCLL, uint8_t command) {
    vci_.ClearFrames();
    EXPECT_EQ(PDUConnect(kMod, hCLL), 0u);
    return vci_.FramesWithCommand(command);
  }

  // The VCI acknowledges every COP, then sends these messages as vehicle
  // data at once.
  void EcuAnswers(std::vector<Bytes> messages) {
    vci_.SetHandler(kCmdCop, [messages](const VciFrame&) {
      std::vector<VciReply> r{TestVci::Answer(kCmdCop, 0)};
      for (const Bytes& m : messages) r.push_back(TestVci::VehicleData(0, 0, 0, m));
      return r;
    });
  }

  static uint32_t Start(uint32_t hCLL, uint32_t type, Bytes request = {}, int32_t receiveCycles = 1) {
    PDU_COP_CTRL_DATA ctrl{};
    ctrl.NumSendCycles = 1;
    ctrl.NumReceiveCycles = receiveCycles;
    uint32_t hCoP = 0;
    EXPECT_EQ(PDUStartComPrimitive(kMod, hCLL, type, static_cast<UNUM32>(request.size()),
                                   request.empty() ? nullptr : request.data(), &ctrl, nullptr, &hCoP),
              0u);
    return hCoP;
  }

  // The kinds of a ComPrimitive's items.
  std::vector<uint32_t> KindsOf(uint32_t hCop) { return ItemCollector::Kinds(items_.ItemsOf(hCop)); }

  static protocol::ZPDUProtocolHandling* Handler(uint32_t hCLL) { return HandlerOf(hCLL); }

  static ParamValue Get(uint32_t hCLL, uint32_t paramId) {
    PDU_PARAM_ITEM* item = nullptr;
    EXPECT_EQ(PDUGetComParam(kMod, hCLL, paramId, &item), 0u);
    ParamValue v = ReadParam(*item);
    EXPECT_EQ(item->ItemType, 0x1200u);
    EXPECT_EQ(item->ComParamId, paramId);
    EXPECT_EQ(PDUDestroyItem(reinterpret_cast<PDU_ITEM*>(item)), 0u);
    return v;
  }

  // Sets a UNUM32 ComParam (class TIMING unless told).
  static void SetU32(uint32_t hCLL, uint32_t paramId, uint32_t value, uint32_t cpClass = 1) {
    PDU_PARAM_ITEM item{0x1200, paramId, 0x105, cpClass, &value};
    EXPECT_EQ(PDUSetComParam(kMod, hCLL, &item), 0u);
  }

  // ComParam ids of the link's list, in list order.
  static std::vector<uint32_t> ListOrder(uint32_t hCLL) {
    engine::ApiLockGuard g(engine::ApiLock());
    std::vector<uint32_t> ids;
    for (const auto& kept : Handler(hCLL)->comParamSet().comparamItems()) ids.push_back(kept.item().ComParamId);
    return ids;
  }

  TempHome home_;
  TestVci vci_;
  std::unique_ptr<ScopedPorts> ports_;
  ItemCollector items_;
};

// The reliability tests' VCI answers every ComPrimitive like a healthy one.
class HealthySessionTest : public SessionTest {
 protected:
  void SetUp() override {
    SessionTest::SetUp();
    vci_.SetHandler(kCmdCop, HealthyCopReplies);
  }
};

}  // namespace pdu::test
