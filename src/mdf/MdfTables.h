// The in-memory model of MDF.xml, the module description in the
// application folder.
//
// Three loaders fill process-wide tables at PDUConstruct, in this order:
//   LoadMdfFile()              the file's text into the MDF buffer
//   LoadMdfObjects()           MdfObjectTable, ProtocolComParamTable,
//                              BusTypeComParamTable (only after a good read)
//   LoadXMLToResourceStruct()  ODXResourceTable (always; it parses whatever
//                              the buffer holds, so a failed read after an
//                              earlier good one reloads the old resources)
// Each loader parses the buffer into a TinyXML document of its own. The
// document's first element is the root; only its element children are read:
//
//   <ROOT>
//     <PROTOCOL|BUSTYPE> <ID>..</ID> <SHORT_NAME>..</SHORT_NAME>
//       <COMPARAM_REF> <COMPARAM key="K"/> <DEFAULT_VALUE>..</DEFAULT_VALUE>
//     <COMPARAM key="K"> <ID/> <SHORT_NAME/> <DATA_TYPE/> <CLASS/>
//     <IO_CTRL|PINTYPE|...> <ID/> <SHORT_NAME/>
//     <RESOURCE> <ID/> <SHORT_NAME/> <BUSTYPE name="bus short name"/>
//       <PROTOCOL name="protocol short name"/>
//       <PIN_ON_MODULE><PIN_ON_MODULE>6</PIN_ON_MODULE></PIN_ON_MODULE> ...
//
// "key" and "name" stand for the first attribute of the element, whatever
// its name. A missing element or text counts as empty (numbers 0, names "").
//
// Tables grow as needed. A reload overwrites slots from the first one and
// sets the counts anew; slots past the new count keep older contents but are
// not visible through the accessors. Written only inside PDUConstruct (which
// runs before any other call), read without a lock afterwards from API
// calls, the engine thread and the handlers. The spans stay valid until the
// next load.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "pdu_api.h"

namespace pdu::mdf {

// One element child of the root, in document order.
struct MdfObject {
  uint32_t ObjectId = 0;        // ParseMdfNumber of the ID text
  std::string ShortName;        // SHORT_NAME text
  std::string ElementName;      // "PROTOCOL", "BUSTYPE", "COMPARAM", "IO_CTRL", "PINTYPE", "RESOURCE", ...
  uint32_t ComParamClass = 0;   // PDU_PC_* from the CLASS text; 0 without a CLASS child
  uint32_t ObjectType = 0;      // PDU_OBJT_* from ElementName
  std::string Key;              // value of the element's first attribute ("" without one)
};

// One COMPARAM_REF of a protocol or bus type, resolved against the COMPARAM
// element whose first attribute equals ComParamIdRef (the last such element
// wins; no match leaves the four resolved fields 0 / "").
struct ComParamRef {
  uint32_t ComParamId = 0;        // resolved: ParseMdfNumber of the COMPARAM's ID
  uint32_t ComParamDataType = 0;  // resolved: PDU_PT_* of its DATA_TYPE
  uint32_t ComParamClass = 0;     // resolved: PDU_PC_* of its CLASS
  std::string DefaultValue;       // DEFAULT_VALUE text, converted by data type when a link is made
  std::string ComParamIdRef;      // first attribute of the COMPARAM_REF's COMPARAM child
  std::string ShortName;          // resolved: SHORT_NAME of the COMPARAM
};

// The ComParams of one protocol or bus type, in document order.
struct ComParamRefList {
  uint32_t ObjectId = 0;  // same identifier as the protocol's / bus type's MdfObject
  std::vector<ComParamRef> ComParamRefs;
  uint32_t NumComParamRefs() const { return static_cast<uint32_t>(ComParamRefs.size()); }
};

// {DLCPinNumber, DLCPinTypeId}: laid out like the D-PDU DLC pin entry so a
// resource's pins can be handed out as pDLCPinData. DLCPinTypeId is the
// pin's 0-based position in the resource, not a pin type code.
using ModulePin = PDU_PIN_DATA;

struct ODXResource {
  uint32_t ResourceId = 0;    // ID text read as a decimal (blanks and a sign allowed)
  std::string ShortName;
  std::string BusTypeName;    // first attribute of BUSTYPE: a bus type's short name
  std::string ProtocolName;   // first attribute of PROTOCOL: a protocol's short name
  std::vector<ModulePin> Pins;
  uint32_t NumPins() const { return static_cast<uint32_t>(Pins.size()); }
};

// ---- loaders (PDUConstruct only) ------------------------------------------

// Full path of the module description: the application folder + "MDF.xml".
std::string MdfFilePath();

// Reads the whole file into the MDF buffer. False when it cannot be opened
// (buffer untouched) or fewer bytes than its length were read.
bool LoadMdfFile();

// Fills MdfObjectTable, ProtocolComParamTable and BusTypeComParamTable from
// the buffer. A COMPARAM_REF without a COMPARAM child empties the whole
// protocol (or bus type) table; a root child without an ID keeps its slot's
// old contents and is counted.
void LoadMdfObjects();

// Fills ODXResourceTable from the buffer; logs "ODXResource num = %d". A
// document without RESOURCE elements leaves the table as it was.
void LoadXMLToResourceStruct();

// "0x1A" / "0X1a" -> hexadecimal; all-digit text -> decimal; anything else
// ("0x", " 26", "26a", "-1") -> 0. Null reads as "".
uint32_t ParseMdfNumber(const char* text);

// ---- readers ----------------------------------------------------------------

std::span<const MdfObject> MdfObjectTable();
std::span<const ComParamRefList> ProtocolComParamTable();
std::span<const ComParamRefList> BusTypeComParamTable();
std::span<const ODXResource> ODXResourceTable();

// Releases every table (the module's teardown at unload, with no thread of
// ours left); the next use starts empty.
void ReleaseMdfTables();

// The first protocol / bus type entry with that ObjectId; nullptr when none.
const ComParamRefList* FindProtocolComParams(uint32_t protocolId);
const ComParamRefList* FindBusTypeComParams(uint32_t busTypeId);

// Copies the first resource with that ResourceId into out and returns its
// ShortName; "" and out untouched when there is none.
std::string GetResourceById(uint32_t resourceId, ODXResource& out);

}  // namespace pdu::mdf
