#include "Report.h"

#include <nlohmann/json.hpp>

namespace pdubench {

void Report::AtMost(std::string name, double value, std::string unit, double target, std::string note) {
  figures_.push_back({std::move(name), value, std::move(unit), Figure::Bound::kAtMost, target, std::move(note)});
}

void Report::AtLeast(std::string name, double value, std::string unit, double target, std::string note) {
  figures_.push_back({std::move(name), value, std::move(unit), Figure::Bound::kAtLeast, target, std::move(note)});
}

void Report::Info(std::string name, double value, std::string unit, std::string note) {
  figures_.push_back({std::move(name), value, std::move(unit), Figure::Bound::kNone, 0, std::move(note)});
}

void Report::Broken(std::string scenario, std::string why) {
  broken_.emplace_back(std::move(scenario), std::move(why));
}

bool Report::AllPass() const {
  for (const Figure& f : figures_) {
    if (!f.Pass()) return false;
  }
  return broken_.empty();
}

void Report::SetContext(std::string key, std::string value) {
  context_.emplace_back(std::move(key), std::move(value));
}

void Report::PrintText(FILE* out) const {
  for (const auto& [key, value] : context_) std::fprintf(out, "# %s: %s\n", key.c_str(), value.c_str());
  std::fprintf(out, "%-28s %12s %-6s %-12s %s\n", "figure", "value", "unit", "target", "result");
  for (const Figure& f : figures_) {
    char target[32] = "-";
    if (f.HasTarget()) {
      std::snprintf(target, sizeof target, "%s %g", f.bound == Figure::Bound::kAtMost ? "<=" : ">=", f.target);
    }
    std::fprintf(out, "%-28s %12.3f %-6s %-12s %-4s%s%s\n", f.name.c_str(), f.value, f.unit.c_str(), target,
                 f.HasTarget() ? (f.Pass() ? "pass" : "FAIL") : "info", f.note.empty() ? "" : "  ",
                 f.note.c_str());
  }
  for (const auto& [scenario, why] : broken_) {
    std::fprintf(out, "%-28s %12s %-6s %-12s BROKEN  %s\n", scenario.c_str(), "-", "", "", why.c_str());
  }
}

void Report::PrintJson(FILE* out) const {
  nlohmann::json doc;
  nlohmann::json context = nlohmann::json::object();
  for (const auto& [key, value] : context_) context[key] = value;
  doc["context"] = context;
  doc["figures"] = nlohmann::json::array();
  for (const Figure& f : figures_) {
    nlohmann::json j = {{"name", f.name}, {"value", f.value}, {"unit", f.unit}, {"note", f.note}};
    if (f.HasTarget()) {
      j["target"] = f.target;
      j["bound"] = f.bound == Figure::Bound::kAtMost ? "at_most" : "at_least";
      j["pass"] = f.Pass();
    } else {
      j["target"] = nullptr;
    }
    doc["figures"].push_back(j);
  }
  doc["broken"] = nlohmann::json::array();
  for (const auto& [scenario, why] : broken_) doc["broken"].push_back({{"scenario", scenario}, {"reason", why}});
  doc["all_pass"] = AllPass();
  std::fprintf(out, "%s\n", doc.dump(2).c_str());
}

}  // namespace pdubench
