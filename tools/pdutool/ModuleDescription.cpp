#include "ModuleDescription.h"

#include <cstdlib>
#include <map>
#include <sstream>

#include <tinyxml.h>

#include "Commands.h"
#include "Numbers.h"
#include "platform/Platform.h"

namespace pdutool {

namespace {

std::string Text(const TiXmlElement* parent, const char* name) {
  const TiXmlElement* e = parent->FirstChildElement(name);
  const char* t = e != nullptr ? e->GetText() : nullptr;
  return t != nullptr ? t : "";
}

std::string Ref(const TiXmlElement* parent, const char* name) {
  const TiXmlElement* e = parent->FirstChildElement(name);
  const char* r = e != nullptr ? e->Attribute("IDREF") : nullptr;
  return r != nullptr ? r : "";
}

}  // namespace

bool ModuleDescription::Load(const std::string& path, std::string& error) {
  TiXmlDocument doc;
  if (!doc.LoadFile(path.c_str())) {
    error = "cannot read the module description " + path + ": " + doc.ErrorDesc();
    return false;
  }
  const TiXmlElement* root = doc.RootElement();
  if (root == nullptr) {
    error = "empty module description " + path;
    return false;
  }
  path_ = path;
  std::map<std::string, size_t> byEid;  // COMPARAM EID -> index
  struct Owner {
    std::string name;
    std::vector<std::pair<std::string, std::string>> refs;  // EID, default
  };
  std::map<std::string, Owner> owners;  // BUSTYPE/PROTOCOL EID
  for (const TiXmlElement* e = root->FirstChildElement(); e != nullptr; e = e->NextSiblingElement()) {
    const std::string tag = e->Value();
    const char* eid = e->Attribute("EID");
    if (tag == "COMPARAM") {
      MdfComParam p;
      p.name = Text(e, "SHORT_NAME");
      p.id = ParseUnsigned(Text(e, "ID")).value_or(0);
      p.type = Text(e, "DATA_TYPE");
      p.pclass = Text(e, "CLASS");
      byEid[eid != nullptr ? eid : p.name] = comParams_.size();
      comParams_.push_back(p);
    } else if (tag == "BUSTYPE" || tag == "PROTOCOL") {
      Owner o;
      o.name = Text(e, "SHORT_NAME");
      for (const TiXmlElement* r = e->FirstChildElement("COMPARAM_REF"); r != nullptr;
           r = r->NextSiblingElement("COMPARAM_REF")) {
        o.refs.emplace_back(Ref(r, "COMPARAM"), Text(r, "DEFAULT_VALUE"));
      }
      owners[tag + ":" + (eid != nullptr ? eid : o.name)] = o;
    } else if (tag == "RESOURCE") {
      MdfResource r;
      r.name = Text(e, "SHORT_NAME");
      r.id = ParseUnsigned(Text(e, "ID")).value_or(0);
      r.busType = Ref(e, "BUSTYPE");
      r.protocol = Ref(e, "PROTOCOL");
      resources_.push_back(r);
    }
  }
  for (MdfResource& r : resources_) {
    for (const std::string& key : {"PROTOCOL:" + r.protocol, "BUSTYPE:" + r.busType}) {
      auto o = owners.find(key);
      if (o == owners.end()) continue;
      for (const auto& [ref, def] : o->second.refs) {
        auto c = byEid.find(ref);
        if (c == byEid.end()) continue;
        MdfComParam p = comParams_[c->second];
        p.defaultValue = def;
        r.params.push_back(p);
      }
    }
  }
  loaded_ = true;
  return true;
}

const MdfResource* ModuleDescription::Resource(const std::string& nameOrId) const {
  auto id = ParseUnsigned(nameOrId);
  for (const MdfResource& r : resources_) {
    if (r.name == nameOrId || (id && r.id == *id)) return &r;
  }
  return nullptr;
}

const MdfComParam* ModuleDescription::ComParam(const std::string& name) const {
  for (const MdfComParam& p : comParams_) {
    if (p.name == name) return &p;
  }
  return nullptr;
}

// The library's own application folder ($PDU7318_HOME, else the fixed one
// of the OS), so that pdutool checks against the file the library reads.
std::string DefaultMdfPath() { return pdu::platform::AppFolder() + "MDF.xml"; }

std::string CheckParamValue(const MdfComParam& param, const std::string& text) {
  const std::string& t = param.type;
  if (t == "PDU_PT_BYTEFIELD") {
    return ParseHexBytes(text) ? "" : "expects hex bytes (e.g. \"02 3E 00\"), got \"" + text + "\"";
  }
  if (t == "PDU_PT_LONGFIELD") {
    std::stringstream in(text);
    std::string part;
    while (std::getline(in, part, ',')) {
      if (!ParseUnsigned(part)) return "expects comma-separated numbers, got \"" + text + "\"";
    }
    return "";
  }
  if (t == "PDU_PT_STRUCTFIELD") return "is a structure field; pdutool cannot set it";
  const bool isSigned = t.rfind("PDU_PT_SNUM", 0) == 0;
  int64_t lo = 0;
  int64_t hi = 0xFFFFFFFFll;
  if (t == "PDU_PT_UNUM8") hi = 0xFF;
  if (t == "PDU_PT_UNUM16") hi = 0xFFFF;
  if (t == "PDU_PT_SNUM8") lo = -128, hi = 127;
  if (t == "PDU_PT_SNUM16") lo = -32768, hi = 32767;
  if (t == "PDU_PT_SNUM32") lo = -2147483648ll, hi = 2147483647ll;
  std::optional<int64_t> v;
  if (isSigned) {
    if (auto s = ParseSigned(text)) v = *s;
  } else if (auto u = ParseUnsigned(text)) {
    v = *u;
  }
  if (!v || *v < lo || *v > hi) {
    return "expects a number from " + std::to_string(lo) + " to " + std::to_string(hi) + " (" +
           t.substr(t.rfind('_') + 1) + "), got \"" + text + "\"";
  }
  return "";
}

std::string CheckParam(const ModuleDescription& mdf, const MdfResource* resource, const std::string& name,
                       const std::string& value) {
  const MdfComParam* p = nullptr;
  if (resource != nullptr) {
    for (const MdfComParam& q : resource->params) {
      if (q.name == name) p = &q;
    }
    if (p == nullptr) {
      return mdf.ComParam(name) != nullptr ? "the resource " + resource->name + " has no ComParam " + name
                                           : "unknown ComParam " + name;
    }
  } else {
    p = mdf.ComParam(name);
    if (p == nullptr) return "unknown ComParam " + name;
  }
  std::string why = CheckParamValue(*p, value);
  return why.empty() ? "" : name + " " + why;
}

}  // namespace pdutool
