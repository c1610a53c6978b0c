// Scenario files are checked field by field: every mistake is reported with
// the JSON path of the field and what was expected there, never ignored and
// never as the JSON library's own exception text. (That every shipped
// scenario loads, e2e.simulator shows: it runs each in vcisim.)
#include <gtest/gtest.h>

#include "Scenario.h"

namespace vcisim {
namespace {

TEST(ScenarioValidation, RejectsWithPathAndExpectation) {
  struct Case { const char* json; const char* error; } cases[] = {
      {R"({"ecus":[{"nmae":"x"}]})",
       "$.ecus[0].nmae: unknown key (expected one of: name, bus, behaviour, request_id, response_id, "
       "functional_id, address, functional_address, delay_ms, seed, vin, serial, data_ids, identification, "
       "local_ids, pids, key_bytes, dtcs, routines, requests)"},
      {R"({"ecus":[{"vin":12345}]})", "$.ecus[0].vin: expected a text (a JSON string), found a number"},
      {R"({"ecus":[{"serial":["S1"]}]})", "$.ecus[0].serial: expected a text (a JSON string), found an array"},
      {R"({"ecus":[{"name":7}]})", "$.ecus[0].name: expected a string, found a number"},
      {R"({"ecus":[{"bus":true}]})",
       "$.ecus[0].bus: expected one of \"can\", \"j1708\", \"j1850\", \"j1939\", \"kline\", \"sci\", \"tp16\", "
       "\"tp20\", found a boolean"},
      {R"({"ecus":[{"behaviour":"lin"}]})",
       "$.ecus[0].behaviour: expected one of \"j1587\", \"j1939\", \"kw1281\", \"kwp\", \"none\", \"obd\", "
       "\"raw\", \"sci\", \"uds\", not \"lin\""},
      {R"({"ecus":[{"delay_ms":null}]})",
       "$.ecus[0].delay_ms: expected a number (or a string such as \"0x7E0\"), found null"},
      {R"({"ecus":[{"requests":[{"request":""}]}]})", "$.ecus[0].requests[0].request: empty request"},
      {R"({"ecus":[{"key_bytes":"8F"}]})", "$.ecus[0].key_bytes: expected two key bytes"},
      {R"({"ecus":[{"requests":[{"request":"10 01","prefix":"yes"}]}]})",
       "$.ecus[0].requests[0].prefix: expected true or false, found a string"},
      {R"({"ecus":[{"requests":[{"request":"10 01","responses":[{"data":"50 01","delay":5}]}]}]})",
       "$.ecus[0].requests[0].responses[0].delay: unknown key (expected one of: data, delay_ms)"},
      {R"({"ecus":[{"dtcs":[{"code":"P0301","stat":1}]}]})",
       "$.ecus[0].dtcs[0].stat: unknown key (expected one of: code, status, failure_type)"},
      {R"({"ecus":[{"data_ids":{"F190":5}}]})",
       "$.ecus[0].data_ids.F190: expected a hex string (\"62 F1 90\" or \"ascii:TEXT\"), found a number"},
      // An ECU's own frame list (it restarted with every receive window).
      {R"({"ecus":[{},{},{"periodic":[{"id":"0x1A0","period_ms":10}]}]})",
       "$.ecus[2].periodic: use \"traffic\" (a top-level list: move each frame there as {\"family\": "
       "\"raw_can\", \"id\", \"data\", \"period_ms\", \"counter\"}; it runs on the bus's clock, so "
       "\"count\" has no equivalent)"},
      {R"({"ecus":[],"vci":{"battery":1}})",
       "$.vci.battery: unknown key (expected one of: battery_mv, ignition, firmware)"},
      {R"({"ecus":[],"car":1})",
       "$.car: unknown key (expected one of: name, description, vci, ecus, traffic, sessions)"},
      // Background traffic.
      {R"({"ecus":[],"traffic":{}})", "$.traffic: expected an array, found an object"},
      {R"({"ecus":[],"traffic":[{"id":"0x1A0","period_ms":10,"every":5}]})",
       "$.traffic[0].every: unknown key (expected one of: name, family, id, data, period_ms, burst, start_ms, "
       "counter)"},
      {R"({"ecus":[],"traffic":[{"period_ms":10}]})", "$.traffic[0].id: missing (the frame's identifier word)"},
      {R"({"ecus":[],"traffic":[{"id":"0x1A0"}]})",
       "$.traffic[0].period_ms: missing (how often the frame is sent, 1 ms or more)"},
      {R"({"ecus":[],"traffic":[{"id":"0x1A0","period_ms":0}]})", "$.traffic[0].period_ms: expected 1 to 60000 ms"},
      {R"({"ecus":[],"traffic":[{"id":"0x1A0","period_ms":60001}]})",
       "$.traffic[0].period_ms: expected 1 to 60000 ms"},
      {R"({"ecus":[],"traffic":[{"id":"0x800","period_ms":1}]})",
       "$.traffic[0].id: an 11-bit identifier is at most 0x7FF (set bit 31, 0x80000000, for a 29-bit one)"},
      {R"({"ecus":[],"traffic":[{"id":"0xA0000001","period_ms":1}]})",
       "$.traffic[0].id: bit 29 is not part of an identifier word"},
      {R"({"ecus":[],"traffic":[{"id":"0x1A0","period_ms":1,"data":"01 02 03 04 05 06 07 08 09"}]})",
       "$.traffic[0].data: at most 8 bytes in a CAN frame"},
      {R"({"ecus":[],"traffic":[{"id":"0x1A0","period_ms":5,"burst":0}]})",
       "$.traffic[0].burst: expected 1 to 64 frames"},
      {R"({"ecus":[],"traffic":[{"id":"0x1A0","period_ms":5,"burst":65}]})",
       "$.traffic[0].burst: expected 1 to 64 frames"},
      {R"({"ecus":[],"traffic":[{"id":"0x1A0","period_ms":5,"counter":true}]})",
       "$.traffic[0].counter: needs at least one data byte to count in"},
      {R"({"ecus":[],"traffic":[{"id":"0x1A0","period_ms":5,"family":"lin"}]})",
       "$.traffic[0].family: expected one of \"raw_can\", not \"lin\""},
      {R"({"ecus":5})", "$.ecus: expected an array, found a number"},
      {R"({"name":"x"})", "$.ecus: missing (an array of ECUs)"},
      {"{\"ecus\": [\n  {\"name\": }\n]}", "$: not valid JSON (line 2, column 12)"},
      {R"([1])", "$: expected an object, found an array"},
      {R"({"ecus":[{"request_id":"0x7G0"}]})", "$.ecus[0].request_id: bad number \"0x7G0\""},
      {R"({"ecus":[{"dtcs":["X0301"]}]})", "$.ecus[0].dtcs[0]: bad DTC \"X0301\""},
      {R"({"ecus":[{"requests":[{"request":"2"}]}]})", "$.ecus[0].requests[0].request: bad hex \"2\""},
  };
  for (const Case& c : cases) {
    std::string error;
    EXPECT_FALSE(ParseScenario(c.json, error)) << c.json;
    EXPECT_EQ(error, c.error) << c.json;
  }
}

}  // namespace
}  // namespace vcisim
