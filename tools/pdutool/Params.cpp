// pdutool params --resource R: what a new link on R starts with.
#include <cstdio>

#include <nlohmann/json.hpp>

#include "Client.h"
#include "Commands.h"
#include "ModuleDescription.h"

namespace pdutool {

int RunParams(const std::string& mdfPath, const std::string& resourceName, bool json) {
  ModuleDescription mdf;
  std::string error;
  nlohmann::json doc = {{"command", "params"}, {"mdf", mdfPath}};
  const MdfResource* r = nullptr;
  if (mdf.Load(mdfPath, error) && (r = mdf.Resource(resourceName)) == nullptr) {
    error = "the module description has no resource " + resourceName;
  }
  if (r == nullptr) {
    std::fprintf(stderr, "pdutool: %s\n", error.c_str());
    if (json) {
      doc["ok"] = false;
      doc["error"] = error;
      std::printf("%s\n", doc.dump(2, ' ', false, nlohmann::json::error_handler_t::replace).c_str());
    }
    return kExitUsage;
  }
  doc["ok"] = true;
  doc["error"] = nullptr;
  doc["resource"] = {{"name", r->name}, {"id", r->id}, {"busType", r->busType}, {"protocol", r->protocol}};
  nlohmann::json list = nlohmann::json::array();
  for (const MdfComParam& p : r->params) {
    list.push_back({{"name", p.name}, {"id", p.id}, {"default", p.defaultValue}, {"type", p.type}, {"class", p.pclass}});
  }
  doc["params"] = list;
  if (json) {
    std::printf("%s\n", doc.dump(2, ' ', false, nlohmann::json::error_handler_t::replace).c_str());
    return kExitOk;
  }
  std::printf("%s (id %u): protocol %s, bus type %s, %zu ComParams\n", r->name.c_str(), r->id,
              r->protocol.c_str(), r->busType.c_str(), r->params.size());
  std::printf("  %-32s %5s  %-10s %-14s %s\n", "name", "id", "type", "class", "default");
  for (const MdfComParam& p : r->params) {
    std::string type = p.type.rfind("PDU_PT_", 0) == 0 ? p.type.substr(7) : p.type;
    std::printf("  %-32s %5u  %-10s %-14s %s\n", p.name.c_str(), p.id, type.c_str(), p.pclass.c_str(),
                p.defaultValue.c_str());
  }
  return kExitOk;
}

}  // namespace pdutool
