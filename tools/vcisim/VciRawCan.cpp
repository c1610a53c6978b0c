// The raw CAN side of the VCI: frames in both directions as identifier
// word + data, the raw ECUs' answers, and the traffic of the bus (see
// VciDevice.h), which is also every frame an ECU sends unasked.
#include <algorithm>

#include "VciDevice.h"

namespace vcisim {

uint32_t VciDevice::RawUniqueId(const SimLink& link, uint32_t idWord) const {
  // A raw link sees the whole bus: a frame is labelled by the entry whose
  // CAN response identifier is its identifier, else by the first entry.
  if (link.table.empty()) return 0;
  const uint32_t id = idWord & ~(kCanExtendedFlag | kCanRemoteFlag);
  for (const SimLink::UniqueEntry& e : link.table) {
    for (const auto& [k, v] : e.params) {
      if ((k == code::kCanRespUSDTId || k == code::kCanRespUUDTId) && (v & ~kCanExtendedFlag) == id) return e.uniqueId;
    }
  }
  return link.table.front().uniqueId;
}

void VciDevice::RouteRawCan(const SimLink& link, uint32_t copType, const Bytes& frame, uint32_t receiveCycles,
                            uint32_t nowMs, std::vector<OutFrame>& out) {
  if (copType == kCoptStartComm || copType == kCoptStopComm) {
    // Nothing to set up on a raw bus: an empty vehicle-data frame says so.
    out.push_back(VehicleData(RawUniqueId(link, 0), {}, nowMs, 0,
                              copType == kCoptStartComm ? "raw CAN link started" : "raw CAN link stopped"));
    return;
  }
  if (copType != kCoptSendRecv) return;
  if (frame.size() < kIdBytes || frame.size() > kIdBytes + 8) {
    out.front().note = "not a raw CAN frame (identifier word + 0..8 data bytes)";
    return;
  }
  const uint32_t idWord = LeWord(frame, 0);
  const Bytes data(frame.begin() + kIdBytes, frame.end());
  const uint32_t match = idWord & ~kCanRemoteFlag;
  // Listening: -1 means every frame until the bus falls quiet, n > 1 at
  // most n frames.
  const bool listen = receiveCycles == 0xFFFFFFFFu || receiveCycles > 1;
  uint32_t budget = receiveCycles == 0xFFFFFFFFu ? 0xFFFFFFFFu : std::max<uint32_t>(receiveCycles, 1);

  struct Timed {
    uint32_t at;
    uint32_t id;
    Bytes data;
    std::string note;
  };
  std::vector<Timed> frames;
  for (SimEcu& ecu : ecus_) {
    const EcuConfig& c = ecu.Config();
    if (c.bus != EcuBus::kCan || c.behaviour != EcuBehaviour::kRaw) continue;
    if ((c.requestId & ~kCanRemoteFlag) != match) continue;
    uint32_t at = 0;
    for (const EcuReply& reply : ecu.Handle(data, false)) {
      at += reply.delayMs;
      frames.push_back({at, c.responseId, reply.data, c.name});
    }
  }
  std::stable_sort(frames.begin(), frames.end(), [](const Timed& a, const Timed& b) { return a.at < b.at; });
  if (frames.empty() && out.size() == 1 && (!listen || traffic_.empty())) {
    out.front().note = "no raw CAN ECU listens on " + Hex32(idWord);
  }
  for (Timed& t : frames) {
    if (budget == 0) break;
    --budget;
    Bytes message = VciCore::Words({t.id});
    message.insert(message.end(), t.data.begin(), t.data.end());
    out.push_back(VehicleData(RawUniqueId(link, t.id), message, nowMs, t.at, std::move(t.note)));
  }
  // The bus itself goes on around the answers for as long as the
  // ComPrimitive listens, with what is left of its frame budget: the
  // answers come first.
  if (listen && budget != 0) StartTraffic(link, nowMs, budget);
}

void VciDevice::StartTraffic(const SimLink& link, uint32_t nowMs, uint32_t budget) {
  if (core_ == nullptr) return;
  std::vector<StreamSource> sources;
  for (const TrafficSource& t : traffic_) {
    if (t.family != TrafficFamily::kRawCan) continue;
    StreamSource s;
    s.uniqueId = RawUniqueId(link, t.id);
    s.idWord = t.id;
    s.data = t.data;
    s.counter = t.counter;
    s.periodMs = t.periodMs;
    s.burst = t.burst;
    s.originMs = t.startMs;
    s.note = t.name;
    sources.push_back(std::move(s));
  }
  if (sources.empty()) return;
  trafficLink_ = link.hCLL;
  core_->StartStreams(std::move(sources), nowMs, budget);
}

void VciDevice::StopTraffic() {
  trafficLink_ = 0;
  if (core_ != nullptr) core_->StopStreams();
}

}  // namespace vcisim
