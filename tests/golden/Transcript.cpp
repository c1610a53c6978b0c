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

namespace {

// One line of an edit script: ' ' same, '-' only expected, '+' only actual.
struct Edit {
  char op;
  size_t a;  // line index in expected (for ' ' and '-')
  size_t b;  // line index in actual (for ' ' and '+')
};

// The shortest edit script by the longest common subsequence. Transcripts
// are a few hundred lines: the quadratic table is small.
std::vector<Edit> EditScript(const std::vector<std::string>& x, const std::vector<std::string>& y) {
  const size_t n = x.size();
  const size_t m = y.size();
  std::vector<std::vector<uint32_t>> lcs(n + 1, std::vector<uint32_t>(m + 1, 0));
  for (size_t i = n; i-- > 0;)
    for (size_t j = m; j-- > 0;)
      lcs[i][j] = x[i] == y[j] ? lcs[i + 1][j + 1] + 1 : std::max(lcs[i + 1][j], lcs[i][j + 1]);
  std::vector<Edit> edits;
  size_t i = 0;
  size_t j = 0;
  while (i < n || j < m) {
    if (i < n && j < m && x[i] == y[j]) {
      edits.push_back({' ', i++, j++});
    } else if (i < n && (j == m || lcs[i + 1][j] >= lcs[i][j + 1])) {
      edits.push_back({'-', i++, j});
    } else {
      edits.push_back({'+', i, j++});
    }
  }
  return edits;
}

}  // namespace

std::string UnifiedDiff(const std::vector<std::string>& expected, const std::vector<std::string>& actual,
                        const std::string& expectedName, const std::string& actualName, size_t maxHunks) {
  const std::vector<Edit> edits = EditScript(expected, actual);
  constexpr size_t kContext = 3;
  std::string out;
  size_t hunks = 0;
  size_t k = 0;
  while (k < edits.size()) {
    if (edits[k].op == ' ') {
      ++k;
      continue;
    }
    if (hunks == maxHunks) {
      out += "... (more differences)\n";
      break;
    }
    // The hunk runs from kContext lines before this change to kContext
    // lines after the last change that is at most 2 * kContext away.
    size_t begin = k >= kContext ? k - kContext : 0;
    size_t end = k;
    size_t same = 0;
    for (size_t e = k; e < edits.size(); ++e) {
      if (edits[e].op == ' ') {
        if (++same > 2 * kContext) break;
      } else {
        same = 0;
        end = e;
      }
    }
    end = std::min(edits.size(), end + 1 + kContext);
    size_t aStart = edits[begin].a;
    size_t bStart = edits[begin].b;
    size_t aCount = 0;
    size_t bCount = 0;
    std::string body;
    for (size_t e = begin; e < end; ++e) {
      const Edit& d = edits[e];
      const std::string& text = d.op == '+' ? actual[d.b] : expected[d.a];
      body += d.op;
      body += text;
      body += '\n';
      if (d.op != '+') ++aCount;
      if (d.op != '-') ++bCount;
    }
    if (hunks == 0) out += "--- " + expectedName + "\n+++ " + actualName + "\n";
    char head[96];
    std::snprintf(head, sizeof head, "@@ -%zu,%zu +%zu,%zu @@\n", aStart + 1, aCount, bStart + 1, bCount);
    out += head;
    out += body;
    ++hunks;
    k = end;
  }
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
      size_t best = 0;
      size_t at = 0;
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
    size_t first = 0;
    size_t last = 0;
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
