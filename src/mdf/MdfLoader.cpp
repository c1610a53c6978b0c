#include <tinyxml.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <unordered_map>

#include "log/PduLog.h"
#include "mdf/ComParamValue.h"
#include "mdf/Enumerations.h"
#include "mdf/MdfTables.h"
#include "platform/Platform.h"

namespace pdu::mdf {
namespace {

// Everything the loaders fill. Allocated once and never freed, so that a
// reader running during process exit never sees a destroyed table.
struct MdfState {
  std::string MdfBuffer;  // text of the last good read of MDF.xml
  std::vector<MdfObject> Objects;
  uint32_t NumObjects = 0;
  std::vector<ComParamRefList> Protocols;
  uint32_t NumProtocols = 0;
  std::vector<ComParamRefList> BusTypes;
  uint32_t NumBusTypes = 0;
  std::vector<ODXResource> Resources;
};

// Created on first use and released only by ReleaseMdfTables (unload,
// process exit after every thread of ours has ended): a call that arrives
// while static destructors run still finds the tables.
std::atomic<MdfState*> g_MdfState{nullptr};

MdfState& State() {
  MdfState* state = g_MdfState.load(std::memory_order_acquire);
  if (state != nullptr) return *state;
  auto* fresh = new MdfState;
  if (g_MdfState.compare_exchange_strong(state, fresh)) return *fresh;
  delete fresh;
  return *state;
}

// The text of an element, "" for a missing element or one whose first child
// is not text.
const char* TextOf(const TiXmlElement* element) {
  if (element == nullptr) return "";
  const char* text = element->GetText();
  return text != nullptr ? text : "";
}

const char* ChildText(const TiXmlElement* parent, const char* name) {
  return TextOf(parent->FirstChildElement(name));
}

// The value of an element's first attribute, whatever the attribute's name;
// "" for a missing element or an element without attributes.
const char* FirstAttributeValue(const TiXmlElement* element) {
  if (element == nullptr) return "";
  const TiXmlAttribute* attribute = element->FirstAttribute();
  if (attribute == nullptr || attribute->Value() == nullptr) return "";
  return attribute->Value();
}

// One parse of the MDF buffer; each loader makes its own and drops it before
// it returns.
class MdfDocument {
 public:
  // TinyXML steps over a UTF-8 sequence by its lead byte's length without
  // looking for the end of the text: in a file that ends inside one (a cut
  // or damaged MDF.xml) it would read up to three bytes past the
  // terminator. The copy it parses ends in four more zero bytes.
  explicit MdfDocument(const std::string& text) : text_(text) {
    text_.append(4, '\0');
    doc_.Parse(text_.c_str());
  }
  // The document's first element (any name); nullptr when there is none.
  const TiXmlElement* Root() const { return doc_.FirstChildElement(); }

 private:
  std::string text_;
  TiXmlDocument doc_;
};

// Reads the `name` children of the root (PROTOCOL or BUSTYPE) into table
// slots 0, 1, ... and resolves each COMPARAM_REF against the root's COMPARAM
// elements. Returns the number of slots filled, or 0 when a COMPARAM_REF has
// no COMPARAM child: then no link gets defaults from this table at all.
uint32_t LoadComParamRefs(const TiXmlElement* root, std::vector<ComParamRefList>& table, const char* name) {
  uint32_t filled = 0;
  for (const TiXmlElement* element = root->FirstChildElement(name); element != nullptr;
       element = element->NextSiblingElement(name), ++filled) {
    if (table.size() <= filled) table.resize(filled + 1);
    ComParamRefList& slot = table[filled];
    slot.ObjectId = ParseMdfNumber(ChildText(element, "ID"));
    slot.ComParamRefs.clear();
    for (const TiXmlElement* ref = element->FirstChildElement("COMPARAM_REF"); ref != nullptr;
         ref = ref->NextSiblingElement("COMPARAM_REF")) {
      const TiXmlElement* target = ref->FirstChildElement("COMPARAM");
      if (target == nullptr) return 0;
      ComParamRef entry;
      entry.ComParamIdRef = FirstAttributeValue(target);
      entry.DefaultValue = ChildText(ref, "DEFAULT_VALUE");
      slot.ComParamRefs.push_back(std::move(entry));
    }
  }

  // Key -> COMPARAM element. Later elements overwrite earlier ones, so a key
  // that several COMPARAMs carry resolves to the last one in the file. A
  // COMPARAM without attributes has no key and cannot be referred to.
  std::unordered_map<std::string, const TiXmlElement*> byKey;
  for (const TiXmlElement* cp = root->FirstChildElement("COMPARAM"); cp != nullptr;
       cp = cp->NextSiblingElement("COMPARAM")) {
    const char* key = FirstAttributeValue(cp);
    if (*key != '\0') byKey[key] = cp;
  }
  for (uint32_t k = 0; k < filled; ++k) {
    for (ComParamRef& ref : table[k].ComParamRefs) {
      const auto it = byKey.find(ref.ComParamIdRef);
      if (it == byKey.end()) continue;  // stays 0 / "": converted as an unknown type later
      const TiXmlElement* cp = it->second;
      ref.ShortName = ChildText(cp, "SHORT_NAME");
      ref.ComParamDataType = ComParamDataTypeFromText(ChildText(cp, "DATA_TYPE"));
      ref.ComParamClass = ComParamClassFromText(ChildText(cp, "CLASS"));
      ref.ComParamId = ParseMdfNumber(ChildText(cp, "ID"));
    }
  }
  return filled;
}

const ComParamRefList* FindById(std::span<const ComParamRefList> table, uint32_t objectId) {
  for (const ComParamRefList& entry : table) {
    if (entry.ObjectId == objectId) return &entry;
  }
  return nullptr;
}

}  // namespace

std::string MdfFilePath() { return platform::AppFolder() + "MDF.xml"; }

void ReleaseMdfTables() { delete g_MdfState.exchange(nullptr); }

bool LoadMdfFile() {
  const std::string path = MdfFilePath();
  std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(std::fopen(path.c_str(), "rb"), &std::fclose);
  if (!file) return false;
  if (std::fseek(file.get(), 0, SEEK_END) != 0) return false;
  const long length = std::ftell(file.get());
  if (length < 0 || std::fseek(file.get(), 0, SEEK_SET) != 0) return false;
  // std::string keeps the zero byte after the text that the parser needs.
  std::string text(static_cast<size_t>(length), '\0');
  const size_t got = std::fread(text.data(), 1, text.size(), file.get());
  State().MdfBuffer = std::move(text);
  return got == static_cast<size_t>(length);
}

uint32_t ParseMdfNumber(const char* text) {
  if (text == nullptr) return 0;
  const size_t len = std::strlen(text);
  uint32_t value = 0;
  if (len >= 3 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    for (const char* p = text + 2; *p != '\0'; ++p) {
      uint32_t digit;
      if (*p >= '0' && *p <= '9') {
        digit = static_cast<uint32_t>(*p - '0');
      } else if (*p >= 'a' && *p <= 'f') {
        digit = static_cast<uint32_t>(*p - 'a' + 10);
      } else if (*p >= 'A' && *p <= 'F') {
        digit = static_cast<uint32_t>(*p - 'A' + 10);
      } else {
        break;
      }
      value = value * 16 + digit;
    }
    return value;
  }
  for (const char* p = text; *p != '\0'; ++p) {
    if (*p < '0' || *p > '9') return 0;
    value = value * 10 + static_cast<uint32_t>(*p - '0');
  }
  return value;
}

void LoadMdfObjects() {
  MdfState& state = State();
  const MdfDocument doc(state.MdfBuffer);
  const TiXmlElement* root = doc.Root();
  if (root == nullptr) return;

  state.NumProtocols = LoadComParamRefs(root, state.Protocols, "PROTOCOL");
  state.NumBusTypes = LoadComParamRefs(root, state.BusTypes, "BUSTYPE");

  uint32_t visited = 0;
  for (const TiXmlElement* element = root->FirstChildElement(); element != nullptr;
       element = element->NextSiblingElement(), ++visited) {
    if (state.Objects.size() <= visited) state.Objects.resize(visited + 1);
    const TiXmlElement* id = element->FirstChildElement("ID");
    if (id == nullptr) continue;  // the slot keeps what it held, and is counted
    MdfObject& object = state.Objects[visited];
    object.ElementName = element->Value();
    object.ObjectType = ObjectTypeFromElementName(object.ElementName);
    object.ObjectId = ParseMdfNumber(TextOf(id));
    const TiXmlElement* cpClass = element->FirstChildElement("CLASS");
    object.ComParamClass = cpClass != nullptr ? ComParamClassFromText(TextOf(cpClass)) : 0;
    object.ShortName = ChildText(element, "SHORT_NAME");
    object.Key = FirstAttributeValue(element);
  }
  state.NumObjects = visited;
}

void LoadXMLToResourceStruct() {
  MdfState& state = State();
  const MdfDocument doc(state.MdfBuffer);
  const TiXmlElement* root = doc.Root();
  if (root == nullptr) return;

  uint32_t count = 0;
  for (const TiXmlElement* e = root->FirstChildElement("RESOURCE"); e != nullptr;
       e = e->NextSiblingElement("RESOURCE")) {
    ++count;
  }
  if (count == 0) return;
  log::LogMain("ODXResource num = %d", static_cast<int>(count));

  std::vector<ODXResource> resources;
  resources.reserve(count);
  for (const TiXmlElement* e = root->FirstChildElement("RESOURCE"); e != nullptr;
       e = e->NextSiblingElement("RESOURCE")) {
    ODXResource& r = resources.emplace_back();
    if (const TiXmlElement* id = e->FirstChildElement("ID")) r.ResourceId = ReadDecimal(TextOf(id));
    r.ShortName = ChildText(e, "SHORT_NAME");
    r.BusTypeName = FirstAttributeValue(e->FirstChildElement("BUSTYPE"));
    r.ProtocolName = FirstAttributeValue(e->FirstChildElement("PROTOCOL"));
    uint32_t position = 0;
    for (const TiXmlElement* pin = e->FirstChildElement("PIN_ON_MODULE"); pin != nullptr;
         pin = pin->NextSiblingElement("PIN_ON_MODULE"), ++position) {
      ModulePin& mp = r.Pins.emplace_back(ModulePin{0, position});
      if (const TiXmlElement* number = pin->FirstChildElement("PIN_ON_MODULE")) {
        mp.DLCPinNumber = ReadDecimal(TextOf(number));
      }
    }
  }
  state.Resources = std::move(resources);
}

std::span<const MdfObject> MdfObjectTable() {
  const MdfState& state = State();
  return std::span<const MdfObject>(state.Objects).first(state.NumObjects);
}

std::span<const ComParamRefList> ProtocolComParamTable() {
  const MdfState& state = State();
  return std::span<const ComParamRefList>(state.Protocols).first(state.NumProtocols);
}

std::span<const ComParamRefList> BusTypeComParamTable() {
  const MdfState& state = State();
  return std::span<const ComParamRefList>(state.BusTypes).first(state.NumBusTypes);
}

std::span<const ODXResource> ODXResourceTable() { return State().Resources; }

const ComParamRefList* FindProtocolComParams(uint32_t protocolId) {
  return FindById(ProtocolComParamTable(), protocolId);
}

const ComParamRefList* FindBusTypeComParams(uint32_t busTypeId) {
  return FindById(BusTypeComParamTable(), busTypeId);
}

std::string GetResourceById(uint32_t resourceId, ODXResource& out) {
  for (const ODXResource& r : ODXResourceTable()) {
    if (r.ResourceId == resourceId) {
      out = r;
      return r.ShortName;
    }
  }
  return {};
}

}  // namespace pdu::mdf
