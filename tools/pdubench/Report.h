// The figures of a benchmark run and how they are printed: one line per
// figure (name, value, unit, target, pass/fail), or one JSON document.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

namespace pdubench {

struct Figure {
  enum class Bound { kAtMost, kAtLeast, kNone };

  std::string name;
  double value = 0;
  std::string unit;
  Bound bound = Bound::kNone;
  double target = 0;
  std::string note;  // how it was measured (sample size, ...)

  bool HasTarget() const { return bound != Bound::kNone; }
  bool Pass() const {
    switch (bound) {
      case Bound::kAtMost: return value <= target;
      case Bound::kAtLeast: return value >= target;
      case Bound::kNone: return true;
    }
    return true;
  }
};

class Report {
 public:
  void AtMost(std::string name, double value, std::string unit, double target, std::string note = "");
  void AtLeast(std::string name, double value, std::string unit, double target, std::string note = "");
  void Info(std::string name, double value, std::string unit, std::string note = "");
  // A scenario that could not run (the module or the simulator failed).
  void Broken(std::string scenario, std::string why);

  bool AllPass() const;
  bool AnyBroken() const { return !broken_.empty(); }

  void SetContext(std::string key, std::string value);

  void PrintText(FILE* out) const;
  void PrintJson(FILE* out) const;

 private:
  std::vector<Figure> figures_;
  std::vector<std::pair<std::string, std::string>> broken_;
  std::vector<std::pair<std::string, std::string>> context_;
};

}  // namespace pdubench
