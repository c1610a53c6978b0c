#include "RootFile.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string_view>
#include <system_error>

#include <nlohmann/json.hpp>

#include "Client.h"

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
  doc_.InsertEndChild(TiXmlDeclaration("1.0", "UTF-8", ""));
  doc_.InsertEndChild(TiXmlElement(kRootElement));
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
  return true;
}

bool RootFile::Load(const std::string& path, std::string& error) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    error = "cannot read " + path;
    return false;
  }
  std::ostringstream text;
  text << in.rdbuf();
  if (in.bad()) {
    error = "cannot read " + path;
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
  TiXmlElement* root = Root();
  TiXmlElement replacement = ElementOf(api);
  bool placed = false;
  TiXmlElement* e = root->FirstChildElement(kApiElement);
  while (e != nullptr) {
    TiXmlElement* next = e->NextSiblingElement(kApiElement);
    if (ChildText(e, "SHORT_NAME") == api.shortName) {
      if (!placed) {
        root->ReplaceChild(e, replacement);
        placed = true;
      } else {
        root->RemoveChild(e);
      }
    }
    e = next;
  }
  if (!placed) root->InsertEndChild(replacement);
}

int RootFile::Remove(const std::string& shortName) {
  TiXmlElement* root = Root();
  int removed = 0;
  TiXmlElement* e = root->FirstChildElement(kApiElement);
  while (e != nullptr) {
    TiXmlElement* next = e->NextSiblingElement(kApiElement);
    if (ChildText(e, "SHORT_NAME") == shortName) {
      root->RemoveChild(e);
      ++removed;
    }
    e = next;
  }
  return removed;
}

bool RootFile::Empty() const { return Root()->FirstChild() == nullptr; }

std::string RootFile::Text() const {
  TiXmlPrinter printer;
  printer.SetIndent("  ");
  doc_.Accept(&printer);
  return printer.CStr();
}

bool RootFile::Save(const std::string& path, std::string& error) const {
  namespace fs = std::filesystem;
  const std::string temp = path + ".pdu7318-new";
  {
    std::ofstream out(temp, std::ios::binary | std::ios::trunc);
    out << Text();
    out.flush();
    if (!out) {
      error = "cannot write " + temp;
      out.close();
      std::error_code ignored;
      fs::remove(temp, ignored);
      return false;
    }
  }
  std::error_code ec;
  fs::file_status old = fs::status(path, ec);
  if (!ec && fs::exists(old)) {
    fs::permissions(temp, old.permissions(), ec);
  } else {
    fs::permissions(temp,
                    fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read | fs::perms::others_read,
                    ec);
  }
  fs::rename(temp, path, ec);
  if (ec) {
    error = "cannot replace " + path + ": " + ec.message();
    std::error_code ignored;
    fs::remove(temp, ignored);
    return false;
  }
  return true;
}

// ---- pdutool's --root options ----

bool ParseRootOption(int argc, char** argv, int& i, RootChoice& root, bool (*isCommand)(const std::string&)) {
  std::string_view a = argv[i];
  if (a == "--root") {
    root.given = true;
    if (i + 1 < argc && argv[i + 1][0] != '-' && (isCommand == nullptr || !isCommand(argv[i + 1]))) {
      root.name = argv[++i];
    }
    return true;
  }
  if (a == "--root-file") {
    if (i + 1 >= argc) {
      std::fprintf(stderr, "pdutool: --root-file needs a value\n");
      std::exit(kExitUsage);
    }
    root.file = argv[++i];
    return true;
  }
  return false;
}

namespace {

// Prints a failure of the --root handling (stderr, and the JSON document
// with --json) and returns code.
int RootFailure(const RootChoice& root, bool json, int code, const std::string& error) {
  std::fprintf(stderr, "pdutool: %s\n", error.c_str());
  if (json) {
    nlohmann::json doc = {{"command", "root"}, {"ok", false}, {"error", error}, {"rootFile", root.file}};
    std::printf("%s\n", doc.dump(2).c_str());
  }
  return code;
}

std::string PathOrUri(const std::string& uri) {
  if (uri.empty()) return "-";
  std::optional<std::string> path = PathFromFileUri(uri);
  return path ? *path : uri;
}

}  // namespace

int RunRootList(const RootChoice& root, bool json, int extraArgs) {
  if (extraArgs > 0) {
    return RootFailure(root, json, kExitUsage, "--root lists the APIs; to load one: --root NAME COMMAND ...");
  }
  RootFile file;
  std::string error;
  if (!file.Load(root.file, error)) return RootFailure(root, json, kExitNoLibrary, error);

  nlohmann::json apis = nlohmann::json::array();
  const std::vector<RootApi> entries = file.Apis();
  if (!json) std::printf("%s: %zu D-PDU API(s)\n", root.file.c_str(), entries.size());
  for (const RootApi& api : entries) {
    std::optional<std::string> lib = PathFromFileUri(api.libraryUri);
    std::error_code ec;
    const bool present = lib && !lib->empty() && std::filesystem::exists(*lib, ec);
    apis.push_back({{"shortName", api.shortName},
                    {"description", api.description},
                    {"supplierName", api.supplierName},
                    {"libraryFile", api.libraryUri},
                    {"moduleDescriptionFile", api.moduleDescriptionUri},
                    {"cableDescriptionFile", api.cableDescriptionUri},
                    {"libraryPresent", present}});
    if (json) continue;
    std::printf("\n%s  %s (%s)\n", api.shortName.c_str(), api.description.c_str(), api.supplierName.c_str());
    std::printf("    library             %s%s\n", PathOrUri(api.libraryUri).c_str(), present ? "" : "  (missing)");
    std::printf("    module description  %s\n", PathOrUri(api.moduleDescriptionUri).c_str());
    std::printf("    cable description   %s\n", PathOrUri(api.cableDescriptionUri).c_str());
  }
  if (json) {
    nlohmann::json doc = {
        {"command", "root"}, {"ok", true}, {"error", nullptr}, {"rootFile", root.file}, {"apis", apis}};
    std::printf("%s\n", doc.dump(2).c_str());
  }
  return kExitOk;
}

int ApplyRootApi(const RootChoice& root, bool json, std::string& libPath, std::string& mdfPath) {
  if (!libPath.empty()) return RootFailure(root, json, kExitUsage, "--lib and --root NAME exclude each other");
  RootFile file;
  std::string error;
  if (!file.Load(root.file, error)) return RootFailure(root, json, kExitNoLibrary, error);
  std::optional<RootApi> api = file.Find(root.name);
  if (!api) return RootFailure(root, json, kExitNoLibrary, root.file + " names no API " + root.name);
  std::optional<std::string> lib = PathFromFileUri(api->libraryUri);
  if (!lib || lib->empty()) {
    return RootFailure(root, json, kExitNoLibrary,
                       api->shortName + ": LIBRARY_FILE is not a local file URI: \"" + api->libraryUri + "\"");
  }
  libPath = *lib;
  std::optional<std::string> mdf = PathFromFileUri(api->moduleDescriptionUri);
  mdfPath = mdf ? *mdf : "";
  return kExitOk;
}

}  // namespace pdutool
