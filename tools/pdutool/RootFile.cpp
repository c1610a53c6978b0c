#include "RootFile.h"

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string_view>
#include <system_error>

namespace pdutool {

namespace {

constexpr const char* kRootElement = "MVCI_PDU_API_ROOT";
constexpr const char* kApiElement = "MVCI_PDU_API";

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::optional<std::string> PercentDecode(std::string_view text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '%') {
      out += text[i];
      continue;
    }
    if (i + 2 >= text.size()) return std::nullopt;
    int hi = HexValue(text[i + 1]);
    int lo = HexValue(text[i + 2]);
    if (hi < 0 || lo < 0) return std::nullopt;
    out += static_cast<char>(hi * 16 + lo);
    i += 2;
  }
  return out;
}

bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
  if (text.size() < prefix.size()) return false;
  for (size_t i = 0; i < prefix.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(text[i])) != std::tolower(static_cast<unsigned char>(prefix[i]))) {
      return false;
    }
  }
  return true;
}

bool EqualNoCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && StartsWithNoCase(a, b);
}

std::string ChildText(const TiXmlElement* parent, const char* name) {
  const TiXmlElement* child = parent->FirstChildElement(name);
  const char* text = child != nullptr ? child->GetText() : nullptr;
  return text != nullptr ? text : "";
}

std::string ChildUri(const TiXmlElement* parent, const char* name) {
  const TiXmlElement* child = parent->FirstChildElement(name);
  const char* uri = child != nullptr ? child->Attribute("URI") : nullptr;
  return uri != nullptr ? uri : "";
}

RootApi ApiOf(const TiXmlElement* e) {
  RootApi api;
  api.shortName = ChildText(e, "SHORT_NAME");
  api.description = ChildText(e, "DESCRIPTION");
  api.supplierName = ChildText(e, "SUPPLIER_NAME");
  api.libraryUri = ChildUri(e, "LIBRARY_FILE");
  api.moduleDescriptionUri = ChildUri(e, "MODULE_DESCRIPTION_FILE");
  api.cableDescriptionUri = ChildUri(e, "CABLE_DESCRIPTION_FILE");
  return api;
}

TiXmlElement ElementOf(const RootApi& api) {
  TiXmlElement e(kApiElement);
  auto text = [&](const char* name, const std::string& value) {
    TiXmlElement child(name);
    child.InsertEndChild(TiXmlText(value.c_str()));
    e.InsertEndChild(child);
  };
  auto uri = [&](const char* name, const std::string& value) {
    if (value.empty()) return;
    TiXmlElement child(name);
    child.SetAttribute("URI", value.c_str());
    e.InsertEndChild(child);
  };
  text("SHORT_NAME", api.shortName);
  text("DESCRIPTION", api.description);
  text("SUPPLIER_NAME", api.supplierName);
  uri("LIBRARY_FILE", api.libraryUri);
  uri("MODULE_DESCRIPTION_FILE", api.moduleDescriptionUri);
  uri("CABLE_DESCRIPTION_FILE", api.cableDescriptionUri);
  return e;
}

bool IsBlank(const std::string& text) {
  for (size_t i = 0; i < text.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    // A UTF-8 byte order mark alone counts as blank.
    if (i == 0 && text.compare(0, 3, "\xEF\xBB\xBF") == 0) {
      i += 2;
      continue;
    }
    if (!std::isspace(c)) return false;
  }
  return true;
}

// ---- editing the text in place ----
//
// TinyXML has checked that the text is well-formed; this scanner only finds
// where the root's MVCI_PDU_API children begin and end, stepping over
// comments, CDATA, processing instructions, the DOCTYPE and quoted
// attribute values, so that a "<MVCI_PDU_API>" inside any of them is not
// taken for an entry.

struct Span {
  size_t begin = 0;  // the '<' of the start tag
  size_t end = 0;    // just after the '>' of the end tag (or of <X/>)
};

struct TextLayout {
  std::vector<Span> entries;   // the root's MVCI_PDU_API children, in order
  size_t rootEnd = 0;          // the '<' of </MVCI_PDU_API_ROOT> (or of <MVCI_PDU_API_ROOT/>)
  size_t rootEndLength = 0;    // the length of that tag
  bool rootSelfClosing = false;
};

// The end of the construct that starts at text[i] == '<', just after its
// last character; npos when it does not end.
size_t MarkupEnd(const std::string& text, size_t i) {
  auto after = [&](const char* close) {
    size_t at = text.find(close, i);
    return at == std::string::npos ? at : at + std::string_view(close).size();
  };
  if (text.compare(i, 4, "<!--") == 0) return after("-->");
  if (text.compare(i, 9, "<![CDATA[") == 0) return after("]]>");
  if (text.compare(i, 2, "<?") == 0) return after("?>");
  if (text.compare(i, 2, "<!") == 0) {
    int brackets = 0;
    for (size_t k = i + 2; k < text.size(); ++k) {
      if (text[k] == '[') ++brackets;
      if (text[k] == ']') --brackets;
      if (text[k] == '>' && brackets <= 0) return k + 1;
    }
    return std::string::npos;
  }
  char quote = 0;
  for (size_t k = i + 1; k < text.size(); ++k) {
    if (quote != 0) {
      if (text[k] == quote) quote = 0;
    } else if (text[k] == '"' || text[k] == '\'') {
      quote = text[k];
    } else if (text[k] == '>') {
      return k + 1;
    }
  }
  return std::string::npos;
}

std::string TagName(const std::string& text, size_t i) {
  size_t k = i + 1;
  if (k < text.size() && text[k] == '/') ++k;
  size_t from = k;
  while (k < text.size() && !std::isspace(static_cast<unsigned char>(text[k])) && text[k] != '>' &&
         text[k] != '/') {
    ++k;
  }
  return text.substr(from, k - from);
}

bool Scan(const std::string& text, TextLayout& layout) {
  int depth = 0;
  bool seenRoot = false;
  size_t entryBegin = std::string::npos;
  for (size_t i = text.find('<'); i != std::string::npos; i = text.find('<', i)) {
    const size_t end = MarkupEnd(text, i);
    if (end == std::string::npos) return false;
    const bool special = text.compare(i, 2, "<!") == 0 || text.compare(i, 2, "<?") == 0;
    if (!special) {
      const bool closing = text[i + 1] == '/';
      const bool empty = !closing && text[end - 2] == '/';
      const std::string name = TagName(text, i);
      if (closing) {
        --depth;
        if (depth == 1 && entryBegin != std::string::npos) {
          layout.entries.push_back({entryBegin, end});
          entryBegin = std::string::npos;
        }
        if (depth == 0) {
          layout.rootEnd = i;
          layout.rootEndLength = end - i;
          return seenRoot && name == kRootElement;
        }
      } else {
        if (depth == 0) {
          if (seenRoot || name != kRootElement) return false;
          seenRoot = true;
          if (empty) {
            layout.rootEnd = i;
            layout.rootEndLength = end - i;
            layout.rootSelfClosing = true;
            return true;
          }
        } else if (depth == 1 && name == kApiElement) {
          if (empty) {
            layout.entries.push_back({i, end});
          } else {
            entryBegin = i;
          }
        }
        if (!empty) ++depth;
      }
    }
    i = end;
  }
  return false;
}

std::string ShortNameOf(const std::string& text, const Span& span) {
  TiXmlDocument entry;
  entry.Parse(text.substr(span.begin, span.end - span.begin).c_str(), nullptr, TIXML_ENCODING_UTF8);
  const TiXmlElement* e = entry.RootElement();
  return e != nullptr ? ChildText(e, "SHORT_NAME") : "";
}

size_t LineStart(const std::string& text, size_t at) {
  size_t nl = at == 0 ? std::string::npos : text.rfind('\n', at - 1);
  return nl == std::string::npos ? 0 : nl + 1;
}

bool IsBlankRange(const std::string& text, size_t from, size_t to) {
  for (size_t k = from; k < to; ++k) {
    if (text[k] != ' ' && text[k] != '\t') return false;
  }
  return true;
}

// The spaces and tabs before `at` when nothing else precedes it on its line
// (else none: the file does not put entries on lines of their own).
std::string LineIndent(const std::string& text, size_t at) {
  size_t line = LineStart(text, at);
  return IsBlankRange(text, line, at) ? text.substr(line, at - line) : "";
}

// Our entry as text: its first line without indent, the following lines
// indented below `indent` (children by one `step` more), no line end after
// the last.
std::string EntryText(const RootApi& api, const std::string& indent, const std::string& step,
                      const std::string& eol) {
  TiXmlPrinter printer;
  printer.SetIndent(step.c_str());
  printer.SetLineBreak("\n");
  ElementOf(api).Accept(&printer);
  std::string printed = printer.CStr();
  while (!printed.empty() && printed.back() == '\n') printed.pop_back();
  std::string out;
  for (char c : printed) {
    if (c == '\n') {
      out += eol;
      out += indent;
    } else {
      out += c;
    }
  }
  return out;
}

// The indent step of an entry's children: what the line after the entry's
// start tag has beyond the entry's own indent ("  " when that cannot be
// told).
std::string ChildStep(const std::string& text, const Span& span, const std::string& indent) {
  size_t nl = text.find('\n', span.begin);
  if (nl == std::string::npos || nl >= span.end) return "  ";
  size_t k = nl + 1;
  while (k < span.end && (text[k] == ' ' || text[k] == '\t')) ++k;
  const std::string lead = text.substr(nl + 1, k - nl - 1);
  if (lead.size() <= indent.size() || lead.compare(0, indent.size(), indent) != 0) return "  ";
  return lead.substr(indent.size());
}

// Removes an entry's text; when it stood on lines of its own, the lines go
// with it (their indent and one line end).
void Cut(std::string& text, const Span& span) {
  size_t from = span.begin;
  size_t to = span.end;
  const size_t line = LineStart(text, from);
  size_t lineEnd = to;
  while (lineEnd < text.size() && (text[lineEnd] == ' ' || text[lineEnd] == '\t' || text[lineEnd] == '\r')) {
    ++lineEnd;
  }
  if (IsBlankRange(text, line, from) && (lineEnd == text.size() || text[lineEnd] == '\n')) {
    from = line;
    to = lineEnd < text.size() ? lineEnd + 1 : lineEnd;
  }
  text.erase(from, to - from);
}

bool ScanOrReprint(std::string& text, const TiXmlDocument& doc, TextLayout& layout) {
  if (Scan(text, layout)) return true;
  // Text TinyXML accepts but the scanner does not follow: edit TinyXML's
  // own printing of it instead (other entries keep their content, not
  // their layout).
  TiXmlPrinter printer;
  printer.SetIndent("  ");
  doc.Accept(&printer);
  text = printer.CStr();
  layout = TextLayout();
  return Scan(text, layout);
}

}  // namespace

std::optional<std::string> PathFromFileUri(const std::string& uri) {
  std::string_view rest = uri;
  if (!StartsWithNoCase(rest, "file:")) {
    // No scheme at all: a plain path. "http:" and friends are not files.
    size_t colon = rest.find(':');
    size_t slash = rest.find('/');
    bool hasScheme = colon != std::string_view::npos && colon > 1 &&
                     (slash == std::string_view::npos || colon < slash);
    if (hasScheme) return std::nullopt;
    return std::string(rest);
  }
  rest.remove_prefix(5);
  if (rest.substr(0, 2) == "//") {
    rest.remove_prefix(2);
    size_t slash = rest.find('/');
    if (slash == std::string_view::npos) return std::nullopt;
    std::string_view host = rest.substr(0, slash);
    if (!host.empty() && !EqualNoCase(host, "localhost")) return std::nullopt;
    rest.remove_prefix(slash);
  }
  if (rest.empty() || rest[0] != '/') return std::nullopt;
  std::optional<std::string> path = PercentDecode(rest);
  if (!path) return std::nullopt;
  // "/C:/dir/x.dll": a Windows drive path.
  if (path->size() >= 3 && std::isalpha(static_cast<unsigned char>((*path)[1])) && (*path)[2] == ':') {
    path->erase(0, 1);
  }
  return path;
}

std::string FileUriFromPath(const std::string& path) {
  static const char* const kHex = "0123456789ABCDEF";
  std::string uri = "file://";
  if (path.empty() || path[0] != '/') uri += '/';
  for (char ch : path) {
    unsigned char c = static_cast<unsigned char>(ch == '\\' ? '/' : ch);
    if (std::isalnum(c) || c == '-' || c == '.' || c == '_' || c == '~' || c == '/' || c == ':') {
      uri += static_cast<char>(c);
    } else {
      uri += '%';
      uri += kHex[c >> 4];
      uri += kHex[c & 0x0F];
    }
  }
  return uri;
}

RootFile::RootFile() {
  text_ = std::string("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<") + kRootElement + ">\n</" + kRootElement +
          ">\n";
  Reparse();
}

void RootFile::Reparse() {
  TiXmlDocument parsed;
  parsed.Parse(text_.c_str(), nullptr, TIXML_ENCODING_UTF8);
  doc_ = parsed;
}

bool RootFile::Parse(const std::string& text, std::string& error) {
  if (IsBlank(text)) {
    *this = RootFile();
    return true;
  }
  TiXmlDocument parsed;
  parsed.Parse(text.c_str(), nullptr, TIXML_ENCODING_UTF8);
  if (parsed.Error()) {
    std::ostringstream why;
    why << "not well-formed XML (line " << parsed.ErrorRow() << ": " << parsed.ErrorDesc() << ")";
    error = why.str();
    return false;
  }
  const TiXmlElement* root = parsed.RootElement();
  if (root == nullptr || std::string_view(root->Value()) != kRootElement) {
    error = std::string("the root element is ") + (root != nullptr ? root->Value() : "missing") + ", not " +
            kRootElement;
    return false;
  }
  doc_ = parsed;
  text_ = text;
  return true;
}

#if !defined(_WIN32)
std::string DefaultRootFile() { return kDefaultRootFile; }
std::vector<std::string> CommandLineUtf8(int argc, char** argv) {
  return argc > 1 ? std::vector<std::string>(argv + 1, argv + argc) : std::vector<std::string>();
}
std::vector<std::string> FileHolders(const std::vector<std::string>&) { return {}; }
#endif

bool RootFile::Load(const std::string& path, std::string& error) {
  if (path.empty()) {
    error = "no root description file is registered";
    return false;
  }
  std::ifstream in(PathFromUtf8(path), std::ios::binary);
  if (!in) {
    error = "cannot read " + path + ": " + std::strerror(errno);
    return false;
  }
  std::ostringstream text;
  text << in.rdbuf();
  if (in.bad()) {
    error = "cannot read " + path + ": " + std::strerror(errno);
    return false;
  }
  if (!Parse(text.str(), error)) {
    error = path + ": " + error;
    return false;
  }
  return true;
}

TiXmlElement* RootFile::Root() { return doc_.RootElement(); }
const TiXmlElement* RootFile::Root() const { return doc_.RootElement(); }

std::vector<RootApi> RootFile::Apis() const {
  std::vector<RootApi> apis;
  for (const TiXmlElement* e = Root()->FirstChildElement(kApiElement); e != nullptr;
       e = e->NextSiblingElement(kApiElement)) {
    apis.push_back(ApiOf(e));
  }
  return apis;
}

std::optional<RootApi> RootFile::Find(const std::string& shortName) const {
  std::vector<RootApi> apis = Apis();
  for (const RootApi& api : apis) {
    if (api.shortName == shortName) return api;
  }
  std::optional<RootApi> found;
  for (const RootApi& api : apis) {
    if (!EqualNoCase(api.shortName, shortName)) continue;
    if (found) return std::nullopt;  // ambiguous
    found = api;
  }
  return found;
}

void RootFile::Put(const RootApi& api) {
  TextLayout layout;
  if (!ScanOrReprint(text_, doc_, layout)) return;
  const std::string eol = text_.find("\r\n") != std::string::npos ? "\r\n" : "\n";
  std::vector<Span> ours;
  for (const Span& span : layout.entries) {
    if (ShortNameOf(text_, span) == api.shortName) ours.push_back(span);
  }
  if (ours.empty()) {
    // Before the root's end tag: on a line of its own when the end tag has
    // one, indented like the first entry (else two spaces).
    std::string indent = "  ";
    std::string step = "  ";
    if (!layout.entries.empty()) {
      indent = LineIndent(text_, layout.entries.front().begin);
      step = ChildStep(text_, layout.entries.front(), indent);
    }
    const std::string entry = EntryText(api, indent, step, eol);
    size_t at = layout.rootEnd;
    size_t line = LineStart(text_, at);
    if (layout.rootSelfClosing) {
      // <MVCI_PDU_API_ROOT/> becomes a start and an end tag around the entry.
      text_.replace(layout.rootEnd, layout.rootEndLength,
                    std::string("<") + kRootElement + ">" + eol + indent + entry + eol + "</" + kRootElement + ">");
    } else if (IsBlankRange(text_, line, at)) {
      text_.insert(line, indent + entry + eol);
    } else {
      text_.insert(at, entry);
    }
  } else {
    // The first one is replaced where it stands, further ones go; from the
    // back so that the earlier offsets stay valid.
    for (size_t k = ours.size(); k-- > 1;) Cut(text_, ours[k]);
    const std::string indent = LineIndent(text_, ours[0].begin);
    text_.replace(ours[0].begin, ours[0].end - ours[0].begin,
                  EntryText(api, indent, ChildStep(text_, ours[0], indent), eol));
  }
  Reparse();
}

int RootFile::Remove(const std::string& shortName) {
  TextLayout layout;
  if (!ScanOrReprint(text_, doc_, layout)) return 0;
  int removed = 0;
  for (size_t k = layout.entries.size(); k-- > 0;) {
    if (ShortNameOf(text_, layout.entries[k]) != shortName) continue;
    Cut(text_, layout.entries[k]);
    ++removed;
  }
  if (removed > 0) Reparse();
  return removed;
}

bool RootFile::Empty() const { return Root()->FirstChild() == nullptr; }

std::string RootFile::Text() const { return text_; }

bool RootFile::Save(const std::string& path, std::string& error) const {
  namespace fs = std::filesystem;
  // The new text goes to a file beside the old one and replaces it in one
  // rename, so a reader never sees half a file.
  const fs::path target = PathFromUtf8(path);
  const fs::path temp = PathFromUtf8(path + ".pdu7318-new");
  {
    errno = 0;
    std::ofstream out(temp, std::ios::binary | std::ios::trunc);
    out << Text();
    out.flush();
    if (!out) {
      const int why = errno;
      std::error_code ignored;
      error = "cannot write " + path + ": " +
              (!fs::is_directory(target.parent_path(), ignored) ? std::string("its folder does not exist")
                                                                : std::string(std::strerror(why)));
      out.close();
      fs::remove(temp, ignored);
      return false;
    }
  }
  std::error_code ec;
  fs::file_status old = fs::status(target, ec);
  if (!ec && fs::exists(old)) {
    fs::permissions(temp, old.permissions(), ec);
  } else {
    fs::permissions(temp,
                    fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read | fs::perms::others_read,
                    ec);
  }
  fs::rename(temp, target, ec);
  if (ec) {
    error = "cannot replace " + path + ": " + ec.message();
    std::error_code ignored;
    fs::remove(temp, ignored);
    return false;
  }
  return true;
}

}  // namespace pdutool
