// pdutool's subcommands. Each fills the JSON document and returns the exit
// code (ExitCode in Client.h).
#pragma once

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "Client.h"

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
};

int RunSession(Client& client, nlohmann::json& doc, const SessionOptions& options);
int RunIoctl(Client& client, nlohmann::json& doc, const std::string& what);
int RunInfo(Client& client, nlohmann::json& doc, const std::string& mdfPath);

// "22 F1 90", "22F190", "0x22,0xF1" -> bytes; nullopt when not hex or empty.
std::optional<std::vector<uint8_t>> ParseHexBytes(const std::string& text);

}  // namespace pdutool
