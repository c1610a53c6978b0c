// A fake VCI for tests of everything that talks to the device.
//
// The constructor makes an in-memory line named Path() and starts the
// VCI's own thread on its far end; the library opens that name like a
// serial adapter (the transport factory recognises it; discovery finds it
// through ScopedPorts), on every OS. While no other clock is installed the
// library's pauses are instant (test::InstantPauseClock), so a
// construction does not wait the settle time. The thread runs the
// simulator's VciCore (tools/vcisim/VciCore.h): it splits the incoming
// bytes with the library's frame codec, records every valid frame and
// answers it:
//
//   - by default like a healthy VCI (vcisim::HealthyReplies: every
//     command the library sends, each with status 0; see DefaultReplies);
//   - SetStatus(cmd, s) keeps the default answer but with status s;
//   - SetHandler(cmd, h) replaces the answer of one command for good;
//   - Script(cmd, replies) answers the next frame of that command with
//     exactly these replies (several Scripts queue up), then the handler or
//     default applies again; an empty list answers nothing once;
//   - SetSilent(true) answers nothing at all.
//
// A reply is any frame, so a COP handler can answer the command and then
// send vehicle data (VehicleData()). Send, SendVehicleData and InjectRaw
// put frames or raw bytes on the wire unasked; HangUp ends the line as an
// unplugged adapter would (the library's reads fail for good).
//
// Handlers run on the VCI thread; they may call Send/InjectRaw but must not
// wait for further frames. For a VCI on a real pseudo-terminal see PtyVci.
#pragma once

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

#include "VciCore.h"

namespace pdu::test {

using Bytes = std::vector<uint8_t>;
// One frame the VCI received (channel, sequence, command, data, the whole
// unstuffed frame, the stuffed wire bytes, the library's tick when it was
// complete).
using VciFrame = vcisim::ReceivedFrame;
// One frame the VCI sends (channel, command, data, delayMs: the pause
// before it goes out, counted from the reply before).
using VciReply = vcisim::OutFrame;
// The fields of a VCI_CMD_COP payload.
using VciCopRequest = vcisim::CopRequest;

// The parts one after the other.
inline Bytes Cat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

// The answers, the recording and the building blocks for replies (Words,
// Answer, VehicleData, ParseCop, WireFrame) are the core's.
class TestVci : public vcisim::VciCore {
 public:
  TestVci();
  ~TestVci();

  // The line's name to give the library.
  const std::string& Path() const;

  // ---- other wires (PtyVci) ------------------------------------------
  // Bytes from the library, as if they came over the line.
  void FeedFromHost(const uint8_t* data, size_t count);
  // Sends the VCI's output to sink instead of the in-memory line.
  void SetOutput(std::function<void(const uint8_t*, size_t)> sink);

  // ---- answers -------------------------------------------------------
  // Values of the default answers.
  void SetOpenWord(uint32_t word);           // second word of the OPEN answer
  void SetBatteryMillivolts(uint32_t mv);    // IOCTL sub-code 0x06
  void SetIgnitionState(uint32_t state);     // IOCTL sub-code 0x11
  // The default replies to a frame (what an unscripted healthy VCI sends).
  std::vector<VciReply> DefaultReplies(const VciFrame& frame) const;

  // ---- unasked output ------------------------------------------------
  void Send(uint8_t channel, uint8_t command, const Bytes& data);
  void SendVehicleData(uint32_t status, uint32_t word, uint32_t uniqueId, const Bytes& message);
  // Writes bytes to the wire exactly as given, in one write.
  void InjectRaw(const Bytes& bytes);
  // Closes the master side: the library's reads fail as if unplugged.
  void HangUp();

  std::vector<VciFrame> FramesWithCommand(uint8_t command) const;

 private:
  struct State;
  std::unique_ptr<State> s_;
};

// Sets PDU7318_PORTS to the paths joined by ':' (and the seam's port list
// to the paths) for its lifetime and restores the previous value
// afterwards. One at a time: the seam's list goes back to none.
class ScopedPorts {
 public:
  explicit ScopedPorts(const std::vector<std::string>& paths);
  ~ScopedPorts();
  ScopedPorts(const ScopedPorts&) = delete;
  ScopedPorts& operator=(const ScopedPorts&) = delete;

 private:
  bool had_ = false;
  std::string old_;
};

}  // namespace pdu::test
