// The bytes each handler hands to the VCI for a request.

#include <array>

#include "HandlerTestSupport.h"

namespace pdu::protocol::test {
namespace {

using Bytes = std::vector<uint8_t>;

struct Built { uint32_t length; Bytes bytes; };

Built Build(ZPDUProtocolHandling& h, const Bytes& request) {
  std::array<uint8_t, kRequestBufferSize> buffer{};
  uint32_t n = h.buildRequest(request.data(), static_cast<uint32_t>(request.size()), buffer.data());
  return {n, Bytes(buffer.begin(), buffer.begin() + n)};
}

using BuildRequest = HandlerTest;

TEST_F(BuildRequest, Iso15765PutsTheAddressedCanIdInFront) {
  struct Row { uint32_t addrMode; Bytes expected; };
  const Row rows[] = {
      {2, {0xDF, 0x07, 0x00, 0x00, 0x01, 0x00}},  // functional
      {1, {0xE0, 0x07, 0x00, 0x00, 0x01, 0x00}},  // physical
      {0, {0xE0, 0x07, 0x00, 0x00, 0x01, 0x00}},  // anything but 2 is physical
  };
  for (const Row& r : rows) {
    auto h = Make("ISO_15765_3_on_ISO_15765_2");
    SetU32(*h, "CP_RequestAddrMode", r.addrMode);
    SetU32(*h, "CP_CanFuncReqId", 0x7DF);
    SetU32(*h, "CP_CanPhysReqId", 0x7E0);
    h->parseComparam();
    Built b = Build(*h, {0x01, 0x00});
    EXPECT_EQ(b.length, 6u) << r.addrMode;
    EXPECT_EQ(b.bytes, r.expected) << r.addrMode;
    EXPECT_EQ(h->lastRequest(), r.expected) << r.addrMode;
  }
}

// The identifier is taken at parseComparam (connect, UPDATEPARAM), not at
// every request; without one the id is zero.
TEST_F(BuildRequest, Iso15765IdentifierChangesAtParseComparamOnly) {
  auto h = Make("ISO_15765_3_on_ISO_15765_2");
  h->parseComparam();
  EXPECT_EQ(Build(*h, {0x3E}).bytes, (Bytes{0x00, 0x00, 0x00, 0x00, 0x3E}));
  SetU32(*h, "CP_CanPhysReqId", 0x7E0);
  h->parseComparam();
  SetU32(*h, "CP_CanPhysReqId", 0x7E1);
  EXPECT_EQ(Build(*h, {0x3E}).bytes[0], 0xE0);
  h->parseComparam();
  EXPECT_EQ(Build(*h, {0x3E}).bytes[0], 0xE1);
}

// A TP2.0 link whose ComParam went away keeps the earlier identifier.
TEST_F(BuildRequest, Tp20PutsTheSetupIdentifierInFrontAndKeepsIt) {
  auto h = Make("MSP_VW2000LP_on_TP20");
  SetU32(*h, "CPM_VWTP_PhysReqIdSetup", 0x200);
  h->parseComparam();
  Built b = Build(*h, {0x10, 0x89});
  EXPECT_EQ(b.length, 6u);
  EXPECT_EQ(b.bytes, (Bytes{0x00, 0x02, 0x00, 0x00, 0x10, 0x89}));
  EXPECT_EQ(h->lastRequest(), b.bytes);
  LoadMdf(home_, MdfWithComParams({"CPM_VWTP_PhysReqIdSetup"}));
  h->parseComparam();
  EXPECT_EQ(Build(*h, {0x1A}).bytes, (Bytes{0x00, 0x02, 0x00, 0x00, 0x1A}));
}

TEST_F(BuildRequest, PassThroughClasses) {
  struct Row { const char* protocol; bool keepsLastRequest; };
  const Row rows[] = {
      {"ISO_14230_3_on_ISO_14230_2", true}, {"ISO_14229_5_on_ISO_13400_2", true}, {"SAE_J2190_on_ISO_9141_2", false},
      {"MSP_KW1281_on_TP16", false}, {"MSP_VW2000LP_on_TP16", false}, {"KW81_on_KW_UART", false},
      {"ISO_11898_RAW", false}, {"SAE_J2190_on_SAE_J1850_PWM", false}, {"KW71_on_KW_UART", false},
      {"SAE_J1939_73_on_SAE_J1939_21", false},
  };
  for (const Row& r : rows) {
    auto h = Make(r.protocol);
    h->parseComparam();
    Built b = Build(*h, {0x1A, 0x9B});
    EXPECT_EQ(b.length, 2u) << r.protocol;
    EXPECT_EQ(b.bytes, (Bytes{0x1A, 0x9B})) << r.protocol;
    EXPECT_EQ(h->lastRequest(), r.keepsLastRequest ? b.bytes : Bytes{}) << r.protocol;
  }
}

TEST_F(BuildRequest, NothingForEmptyNullOrOversizedInput) {
  for (const char* p :
       {"ISO_15765_3_on_ISO_15765_2", "MSP_VW2000LP_on_TP20", "ISO_14230_3_on_ISO_14230_2", "KW81_on_KW_UART"}) {
    auto h = Make(p);
    std::array<uint8_t, kRequestBufferSize> buffer{};
    const uint8_t one = 0x3E;
    EXPECT_EQ(h->buildRequest(nullptr, 1, buffer.data()), 0u) << p;
    EXPECT_EQ(h->buildRequest(&one, 0, buffer.data()), 0u) << p;
    EXPECT_EQ(h->buildRequest(&one, 1, nullptr), 0u) << p;
    Bytes huge(4097, 0x55);  // one more than the 4096-byte request buffer
    EXPECT_EQ(h->buildRequest(huge.data(), static_cast<uint32_t>(huge.size()), buffer.data()), 0u) << p;
    EXPECT_EQ(buffer[0], 0) << p;
    EXPECT_TRUE(h->lastRequest().empty()) << p;
  }
}

}  // namespace
}  // namespace pdu::protocol::test
