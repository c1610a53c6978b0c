#include "Trace.h"

#include "FrameText.h"

namespace vcisim {

// The decoder itself is shared with pdutool (tools/common/FrameText).

const char* CommandName(uint8_t command) { return frametext::CommandName(command); }

std::string DescribeData(bool fromPc, uint8_t command, const Bytes& data) {
  return frametext::DescribeData(fromPc, command, data);
}

std::string DescribeFrame(bool fromPc, uint8_t channel, uint8_t sequence, uint8_t command, const Bytes& data) {
  return frametext::DescribeFrame(fromPc, channel, sequence, command, data);
}

}  // namespace vcisim
