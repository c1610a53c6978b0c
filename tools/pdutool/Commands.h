// pdutool's subcommands. Each fills the JSON document and returns the exit
// code (ExitCode in Client.h).
#pragma once

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "Client.h"
#include "LogDecoder.h"

namespace pdutool {

struct SessionOptions {
  std::string resource;  // short name or object id
  std::vector<std::pair<std::string, std::string>> params;  // NAME=VALUE, in order
  // One entry per --unique/--resp-id: its ComParams NAME=VALUE.
  std::vector<std::vector<std::pair<std::string, std::string>>> unique;
  std::vector<std::vector<uint8_t>> requests;
  bool startComm = true;
  std::vector<uint8_t> startCommData;
  int32_t receiveCycles = 1;
  bool raw = false;  // a raw CAN resource (Client::MarkRawLink)
};

int RunSession(Client& client, nlohmann::json& doc, const SessionOptions& options);
int RunIoctl(Client& client, nlohmann::json& doc, const std::string& what);
int RunInfo(Client& client, nlohmann::json& doc, const std::string& mdfPath);

// Sets the unique response table (entry n gets UniqueRespIdentifier n,
// from 1) and the ComParams of a link, in that order. kExitOk; kExitUsage
// for a value that does not fit; kExitCallFailed for a ComParam the module
// does not know or a value its type cannot take.
int SetupLink(Client& client, nlohmann::json& doc, UNUM32 hCLL,
              const std::vector<std::vector<std::pair<std::string, std::string>>>& unique,
              const std::vector<std::pair<std::string, std::string>>& params);

// `params --resource R`: the resource's ComParams from the module
// description (no library needed).
int RunParams(const std::string& mdfPath, const std::string& resource, bool json);

// `scan --resource R [--range FIRST-LAST]` (Scan.cpp).
struct ScanOptions {
  std::string resource;
  bool can = true;             // CAN identifiers (ISO 15765) or target addresses (K-line, ...)
  uint32_t first = 0x7E0;      // physical request identifiers or addresses, inclusive
  uint32_t last = 0x7E7;
  uint32_t functionalId = 0x7DF;
  bool quietProgress = false;  // --json: no progress lines
};
int RunScan(Client& client, nlohmann::json& doc, const ScanOptions& options);

// `monitor --resource R --listen FRAME` (Monitor.cpp).
struct MonitorOptions {
  std::string resource = "RSC_ISO_11898_RAW_6_14";
  std::vector<uint8_t> listen;  // the raw frame (identifier word, data) each receive window sends
  std::vector<std::pair<std::string, std::string>> params;
  uint32_t filter = 0, mask = 0;  // print a frame when (id & mask) == (filter & mask)
  uint64_t count = 0;             // 0: no limit
  uint32_t durationMs = 0;        // 0: until Ctrl-C
  std::string logFile;            // candump log copy
  uint32_t windowMs = 0;          // 0: endless receive windows; else about this long each
  bool json = false;
};
int RunMonitor(Client& client, nlohmann::json& doc, const MonitorOptions& options);

// `decode-log DIR|FILE [--follow] [filters]` (DecodeLog.cpp).
int RunDecodeLog(const std::string& path, bool follow, const DecodeFilter& filter);

// --tx ID / --rx ID: the request identifier becomes CP_CanPhysReqId, the
// response identifier a unique response entry (CP_CanRespUSDTId, with
// CP_CanPhysReqId when both are given). Empty, or the usage error.
std::string AddCanIds(const std::string& tx, const std::string& rx,
                      std::vector<std::pair<std::string, std::string>>& params,
                      std::vector<std::vector<std::pair<std::string, std::string>>>& unique);

// "22 F1 90", "22F190", "0x22,0xF1" -> bytes; nullopt when not hex or empty.
std::optional<std::vector<uint8_t>> ParseHexBytes(const std::string& text);

}  // namespace pdutool
