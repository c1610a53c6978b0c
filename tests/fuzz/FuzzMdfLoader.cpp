// Fuzz target: the module description loaders on arbitrary text as MDF.xml.
//
// The input is written to MDF.xml in the fuzzer's application folder and
// loaded as PDUConstruct does (LoadMdfFile, LoadMdfObjects,
// LoadXMLToResourceStruct). Then everything that reads the tables later
// runs over them: object id lookups both ways, the VCI code lookups, the
// resource lookup, and the conversion of every COMPARAM_REF default into a
// link's ComParam set, as link creation does.
#include <cstdio>
#include <string>

#include "FuzzSupport.h"
#include "mdf/ComParamValue.h"
#include "mdf/MdfTables.h"
#include "mdf/ObjectIds.h"
#include "mdf/VciCodes.h"
#include "protocol/CreateProtocolHandler.h"

using namespace pdu::mdf;

namespace {

void WriteMdf(const uint8_t* data, size_t size) {
  const std::string path = pdu::fuzz::FuzzHome() + "MDF.xml";
  FILE* f = std::fopen(path.c_str(), "wb");
  if (f == nullptr) abort();
  if (size > 0 && std::fwrite(data, 1, size, f) != size) abort();
  std::fclose(f);
}

// What link creation does with a protocol's or bus type's defaults.
void ApplyDefaults(const ComParamRefList& list, pdu::protocol::ZPDUProtocolHandling* link) {
  for (const ComParamRef& ref : list.ComParamRefs) {
    void* value = ConvertDefaultValue(ref.DefaultValue.c_str(), ref.ComParamDataType);
    ComParamItem item = ComParamItem::Adopt(ref.ComParamId, ref.ComParamDataType, ref.ComParamClass, value);
    if (link != nullptr) link->setComparamItem(item.item());
    (void)ObjectIdToShortName(ref.ComParamId, "COMPARAM");
    (void)GetVciCode(ref.ShortName);
    (void)GetUniqueIdComParamCode(ref.ShortName);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  WriteMdf(data, size);
  if (LoadMdfFile()) LoadMdfObjects();
  LoadXMLToResourceStruct();

  for (const MdfObject& object : MdfObjectTable()) {
    uint32_t id = 0;
    (void)ObjectIdByShortName(object.ShortName, id);
    (void)ObjectIdToShortName(object.ObjectId, object.ElementName);
    (void)MdfObjectByKey(object.Key);
    (void)GetVciCode(object.ShortName);
  }
  auto link = pdu::protocol::CreateProtocolHandler("ISO_15765_3_on_ISO_15765_2");
  for (const ComParamRefList& list : ProtocolComParamTable()) {
    FUZZ_CHECK(FindProtocolComParams(list.ObjectId) != nullptr);
    ApplyDefaults(list, link.get());
  }
  for (const ComParamRefList& list : BusTypeComParamTable()) {
    FUZZ_CHECK(FindBusTypeComParams(list.ObjectId) != nullptr);
    ApplyDefaults(list, link.get());
  }
  for (const ODXResource& resource : ODXResourceTable()) {
    ODXResource copy;
    (void)GetResourceById(resource.ResourceId, copy);
    FUZZ_CHECK(copy.ResourceId == resource.ResourceId);
    uint32_t id = 0;
    (void)ObjectIdByShortName(resource.BusTypeName, id);
    (void)ObjectIdByShortName(resource.ProtocolName, id);
  }
  return 0;
}
