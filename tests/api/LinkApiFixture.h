// A constructed module against the pseudo-terminal test VCI, with the
// helpers the link, ComParam and unique-table tests share: creating links,
// reading ComParams as plain values, collecting status items through a
// callback, and reading payload words of recorded frames.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "engine/ApiLock.h"
#include "engine/LinkTables.h"
#include "support/ModuleProbe.h"
#include "log/PduLog.h"
#include "mdf/ObjectIds.h"
#include "pdu_api.h"
#include "protocol/ZPDUProtocolHandling.h"
#include "support/TempHome.h"
#include "support/TestVci.h"

namespace pdu::test {

// VCI command bytes of the link calls.
inline constexpr uint8_t kCmdSetLinkResource = 0x08;
inline constexpr uint8_t kCmdDestroyLink = 0x09;
inline constexpr uint8_t kCmdDisconnectLink = 0x0B;
inline constexpr uint8_t kCmdSetLinkParam = 0x0F;
inline constexpr uint8_t kCmdCop = 0x10;
inline constexpr uint8_t kCmdConnectLink = 0x1A;

inline constexpr uint32_t kMod = 1;

// Which module description the application folder gets.
enum class Mdf { kShipped, kStandardStyle };

// A ComParam as the application sees it, with the value read out.
struct ParamValue {
  uint32_t type = 0;
  uint32_t cpClass = 0;
  bool hasValue = false;
  uint32_t number = 0;         // scalar types
  uint32_t maxLen = 0;         // fields
  std::vector<uint32_t> data;  // fields: bytes or longs
};

// Little-endian word at a byte offset of a payload.
inline uint32_t WordAt(const Bytes& d, size_t offset) {
  uint32_t v = 0;
  if (offset + 4 <= d.size()) std::memcpy(&v, d.data() + offset, 4);
  return v;
}

// The type, class and value of an item.
inline ParamValue ReadParam(const PDU_PARAM_ITEM& item) {
  ParamValue v;
  v.type = item.ComParamDataType;
  v.cpClass = item.ComParamClass;
  v.hasValue = item.pComParamData != nullptr;
  if (!v.hasValue) return v;
  switch (item.ComParamDataType) {
    case PDU_PT_UNUM8: v.number = *static_cast<uint8_t*>(item.pComParamData); break;
    case PDU_PT_UNUM16: v.number = *static_cast<uint16_t*>(item.pComParamData); break;
    case PDU_PT_BYTEFIELD: {
      auto* f = static_cast<PDU_PARAM_BYTEFIELD_DATA*>(item.pComParamData);
      v.maxLen = f->ParamMaxLen;
      v.data.assign(f->pDataArray, f->pDataArray + f->ParamActLen);
      break;
    }
    case PDU_PT_LONGFIELD: {
      auto* f = static_cast<PDU_PARAM_LONGFIELD_DATA*>(item.pComParamData);
      v.maxLen = f->ParamMaxLen;
      v.data.assign(f->pDataArray, f->pDataArray + f->ParamActLen);
      break;
    }
    default: std::memcpy(&v.number, item.pComParamData, 4); break;
  }
  return v;
}

// One item the callback fetched.
struct RecordedItem {
  uint32_t hCLL = 0;
  uint32_t type = 0;    // PDU_IT_*
  uint32_t hCop = 0;
  uint32_t status = 0;  // status items
  Bytes data;           // result items
};

// Every item of the links whose callback it is, fetched and released inside
// the callback on the engine thread, as applications do.
class ItemRecorder {
 public:
  static ItemRecorder*& Current() {
    static ItemRecorder* current = nullptr;
    return current;
  }
  static void PDU_CALL Callback(T_PDU_EVT_DATA, UNUM32 hMod, UNUM32 hCLL, void*, void*) {
    ItemRecorder* self = Current();
    PDU_EVENT_ITEM* ev = nullptr;
    while (PDUGetEventItem(hMod, hCLL, &ev) == PDU_STATUS_NOERROR) {
      RecordedItem item{hCLL, ev->ItemType, ev->hCop, 0, {}};
      if (ev->ItemType == PDU_IT_STATUS) item.status = *static_cast<uint32_t*>(ev->pData);
      if (ev->ItemType == PDU_IT_RESULT) {
        auto* r = static_cast<PDU_RESULT_DATA*>(ev->pData);
        item.data.assign(r->pDataBytes, r->pDataBytes + r->NumDataBytes);
      }
      PDUDestroyItem(reinterpret_cast<PDU_ITEM*>(ev));
      if (self == nullptr) continue;
      std::lock_guard<std::mutex> g(self->m_);
      self->items_.push_back(item);
      self->cv_.notify_all();
    }
  }
  // Waits until count items arrived; false after timeoutMs.
  bool WaitFor(size_t count, uint32_t timeoutMs = 5000) {
    std::unique_lock<std::mutex> g(m_);
    return cv_.wait_for(g, std::chrono::milliseconds(timeoutMs), [&] { return items_.size() >= count; });
  }
  std::vector<RecordedItem> Items() {
    std::lock_guard<std::mutex> g(m_);
    return items_;
  }
  // Status items as their status, other items as their type.
  std::vector<uint32_t> Kinds() {
    std::vector<uint32_t> k;
    for (const RecordedItem& i : Items()) k.push_back(i.type == PDU_IT_STATUS ? i.status : i.type);
    return k;
  }

 private:
  std::mutex m_;
  std::condition_variable cv_;
  std::vector<RecordedItem> items_;
};

class LinkApiTest : public ::testing::Test {
 protected:
  void SetUp() override { ItemRecorder::Current() = &recorder_; }
  void TearDown() override {
    PDUDestruct();
    ItemRecorder::Current() = nullptr;
  }

  // Constructs against the test VCI (or against no VCI at all).
  void Construct(Mdf mdf, bool withVci = true, bool logging = false) {
    if (logging) home_.SetLogSwitch("1");
    if (mdf == Mdf::kShipped) {
      home_.CopyData("MDF.xml");
    } else {
      home_.Write("MDF.xml", ReadFile(std::string(PDU7318_SOURCE_DIR) + "/tests/api/StandardStyleMdf.xml"));
    }
    ports_ = std::make_unique<ScopedPorts>(
        std::vector<std::string>{withVci ? vci_.Path() : home_.path() + "no-such-port"});
    ASSERT_EQ(PDUConstruct(nullptr, nullptr), PDU_STATUS_NOERROR);
  }

  // The main log file's text so far.
  static std::string MainLog() { return ReadFile(log::CurrentLogFileNames().main); }

  static uint32_t Id(const char* shortName) {
    uint32_t id = 0;
    EXPECT_TRUE(mdf::ObjectIdByShortName(shortName, id)) << shortName;
    return id;
  }

  static uint32_t ByResource(uint32_t resourceId, Bytes flags = {}) {
    PDU_FLAG_DATA flag{static_cast<UNUM32>(flags.size()), flags.empty() ? nullptr : flags.data()};
    uint32_t h = 0;
    EXPECT_EQ(PDUCreateComLogicalLink(kMod, nullptr, resourceId, nullptr, &h, &flag), PDU_STATUS_NOERROR);
    return h;
  }

  static uint32_t ByRscData(const char* busType, const char* protocol, T_PDU_ERROR expect = PDU_STATUS_NOERROR) {
    PDU_PIN_DATA pins[2] = {{6, Id("HI")}, {14, Id("LOW")}};
    PDU_RSC_DATA rsc{Id(busType), Id(protocol), 2, pins};
    uint32_t h = 0;
    EXPECT_EQ(PDUCreateComLogicalLink(kMod, &rsc, 0, nullptr, &h, nullptr), expect);
    return h;
  }

  static protocol::ZPDUProtocolHandling* Handler(uint32_t hCLL) { return test::HandlerOf(hCLL); }

  static ParamValue Get(uint32_t hCLL, uint32_t paramId) {
    PDU_PARAM_ITEM* item = nullptr;
    EXPECT_EQ(PDUGetComParam(kMod, hCLL, paramId, &item), PDU_STATUS_NOERROR);
    ParamValue v = ReadParam(*item);
    EXPECT_EQ(item->ItemType, PDU_IT_PARAM);
    EXPECT_EQ(item->ComParamId, paramId);
    EXPECT_EQ(PDUDestroyItem(reinterpret_cast<PDU_ITEM*>(item)), PDU_STATUS_NOERROR);
    return v;
  }

  static void SetU32(uint32_t hCLL, uint32_t paramId, uint32_t value, uint32_t cpClass = PDU_PC_TIMING) {
    PDU_PARAM_ITEM item{PDU_IT_PARAM, paramId, PDU_PT_UNUM32, cpClass, &value};
    EXPECT_EQ(PDUSetComParam(kMod, hCLL, &item), PDU_STATUS_NOERROR);
  }

  // ComParam ids of the link's list, in list order.
  static std::vector<uint32_t> ListOrder(uint32_t hCLL) {
    engine::ApiLockGuard g(engine::ApiLock());
    std::vector<uint32_t> ids;
    for (const auto& kept : Handler(hCLL)->comParamSet().comparamItems()) ids.push_back(kept.item().ComParamId);
    return ids;
  }

  // Frames of the link calls, in the order the VCI received them.
  std::vector<VciFrame> LinkFrames() const {
    std::vector<VciFrame> out;
    for (const VciFrame& f : vci_.Frames()) {
      if (f.command != 0x01 && f.command != 0x05) out.push_back(f);  // leave out OPEN and PROBE
    }
    return out;
  }

  TempHome home_;
  TestVci vci_;
  std::unique_ptr<ScopedPorts> ports_;
  ItemRecorder recorder_;
};

}  // namespace pdu::test
