#include "Transcript.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace pdu::golden {

std::vector<std::string> SplitLines(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    lines.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return lines;
}

std::string UnifiedDiff(const std::vector<std::string>& expected, const std::vector<std::string>& actual,
                        const std::string& expectedName, const std::string& actualName, size_t maxLines) {
  size_t same = 0;  // lines equal at the start
  while (same < expected.size() && same < actual.size() && expected[same] == actual[same]) ++same;
  if (same == expected.size() && same == actual.size()) return "";
  size_t tail = 0;  // lines equal at the end, after those
  while (tail < expected.size() - same && tail < actual.size() - same &&
         expected[expected.size() - 1 - tail] == actual[actual.size() - 1 - tail])
    ++tail;
  constexpr size_t kContext = 3;
  const size_t from = same > kContext ? same - kContext : 0;
  const size_t aEnd = std::min(expected.size(), expected.size() - tail + kContext);
  const size_t bEnd = std::min(actual.size(), actual.size() - tail + kContext);
  char head[96];
  std::snprintf(head, sizeof head, "@@ -%zu,%zu +%zu,%zu @@\n", from + 1, aEnd - from, from + 1, bEnd - from);
  std::string out = "--- " + expectedName + "\n+++ " + actualName + "\n" + head;
  size_t lines = 0;
  auto add = [&](char op, const std::vector<std::string>& v, size_t begin, size_t end) {
    for (size_t i = begin; i < end; ++i)
      if (++lines <= maxLines) out += op + v[i] + "\n";
  };
  add(' ', expected, from, same);
  add('-', expected, same, expected.size() - tail);
  add('+', actual, same, actual.size() - tail);
  add(' ', expected, expected.size() - tail, aEnd);
  if (lines > maxLines) out += "... (" + std::to_string(lines - maxLines) + " lines more)\n";
  return out;
}

namespace {

// Copies line, handing every number that stands on its own (no letter,
// digit or '_' right before it) to replace, which appends its text to out.
// gluedAfter: a letter or '_' follows the number.
template <typename Replace>
std::string ReplaceNumbers(const std::string& line, Replace replace) {
  std::string out;
  size_t i = 0;
  while (i < line.size()) {
    const bool glued = i > 0 && (std::isalnum(static_cast<unsigned char>(line[i - 1])) || line[i - 1] == '_');
    if (!std::isdigit(static_cast<unsigned char>(line[i])) || glued) {
      out += line[i++];
      continue;
    }
    size_t j = i;
    while (j < line.size() && std::isdigit(static_cast<unsigned char>(line[j]))) ++j;
    const bool gluedAfter = j < line.size() && (std::isalpha(static_cast<unsigned char>(line[j])) || line[j] == '_');
    replace(line.substr(i, j - i), gluedAfter, out);
    i = j;
  }
  return out;
}

}  // namespace

std::string NormaliseTicks(const std::string& line, uint32_t lo, uint32_t hi) {
  return ReplaceNumbers(line, [lo, hi](const std::string& digits, bool gluedAfter, std::string& out) {
    const unsigned long long v = digits.size() <= 10 ? std::stoull(digits) : 0;
    out += !gluedAfter && digits.size() <= 10 && v >= lo && v <= hi ? std::string("<t>") : digits;
  });
}

std::string NormaliseAddresses(const std::string& line) {
  return ReplaceNumbers(line, [](const std::string& digits, bool, std::string& out) {
    if (digits.size() > 10 || std::stoull(digits) >= 100000000ULL) {  // the smallest address
      if (!out.empty() && out.back() == '-') out.pop_back();
      out += "<addr>";
    } else {
      out += digits;
    }
  });
}

std::string Hex(const uint8_t* data, size_t count) {
  std::string out;
  char b[4];
  for (size_t i = 0; i < count; ++i) {
    std::snprintf(b, sizeof b, i == 0 ? "%02X" : " %02X", data[i]);
    out += b;
  }
  return out;
}

namespace {

constexpr const char* kMark = "@@ prologue ";
// Shorter runs stay as they are: a marker must save lines.
constexpr size_t kMinRun = 2;

struct Section {
  std::string title;  // the "## ..." line; empty for the lines before the first
  std::vector<std::string> lines;
};

std::vector<Section> Sections(const std::vector<std::string>& lines) {
  std::vector<Section> out(1);
  for (const std::string& l : lines) {
    if (l.rfind("## ", 0) == 0) {
      out.push_back({l, {}});
    } else {
      out.back().lines.push_back(l);
    }
  }
  return out;
}

const std::vector<std::string>* SectionOf(const std::vector<Section>& sections, const std::string& title) {
  for (const Section& s : sections)
    if (s.title == title) return &s.lines;
  return nullptr;
}

// "@@ prologue 12-40" -> lines 12 to 40 (from 1, inclusive).
bool RangeOf(const std::string& line, size_t& first, size_t& last) {
  const size_t n = std::strlen(kMark);
  if (line.compare(0, n, kMark) != 0) return false;
  char* end = nullptr;
  first = std::strtoul(line.c_str() + n, &end, 10);
  if (end == nullptr || *end != '-') return false;
  last = std::strtoul(end + 1, nullptr, 10);
  return true;
}

}  // namespace

std::vector<std::string> CompactTranscript(const std::vector<std::string>& full,
                                           const std::vector<std::string>& prologue) {
  const std::vector<Section> shared = Sections(prologue);
  std::vector<std::string> out;
  for (const Section& s : Sections(full)) {
    if (!s.title.empty()) out.push_back(s.title);
    static const std::vector<std::string> kNone;
    const std::vector<std::string>* found = s.title.empty() ? nullptr : SectionOf(shared, s.title);
    const std::vector<std::string>& p = found != nullptr ? *found : kNone;
    const std::vector<std::string>& l = s.lines;
    // Greedy: at each line, the longest run that the prologue's section
    // also has, wherever it stands there.
    for (size_t i = 0; i < l.size();) {
      size_t best = 0, at = 0;
      for (size_t j = 0; j < p.size(); ++j) {
        size_t n = 0;
        while (i + n < l.size() && j + n < p.size() && l[i + n] == p[j + n]) ++n;
        if (n > best) {
          best = n;
          at = j;
        }
      }
      if (best >= kMinRun) {
        out.push_back(kMark + std::to_string(at + 1) + "-" + std::to_string(at + best));
        i += best;
      } else {
        out.push_back(l[i++]);
      }
    }
  }
  return out;
}

std::vector<std::string> ExpandTranscript(const std::vector<std::string>& compact,
                                          const std::vector<std::string>& prologue) {
  const std::vector<Section> shared = Sections(prologue);
  static const std::vector<std::string> kNone;
  const std::vector<std::string>* p = &kNone;
  std::vector<std::string> out;
  for (const std::string& l : compact) {
    size_t first = 0, last = 0;
    if (l.rfind("## ", 0) == 0) {
      p = SectionOf(shared, l);
      if (p == nullptr) p = &kNone;
      out.push_back(l);
    } else if (RangeOf(l, first, last)) {
      if (first < 1 || last < first || last > p->size()) {
        out.push_back(l + " (not in the prologue's section)");  // shows in the diff
      } else {
        out.insert(out.end(), p->begin() + static_cast<std::ptrdiff_t>(first - 1),
                   p->begin() + static_cast<std::ptrdiff_t>(last));
      }
    } else {
      out.push_back(l);
    }
  }
  return out;
}

}  // namespace pdu::golden
