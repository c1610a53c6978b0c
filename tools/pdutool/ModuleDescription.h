// What pdutool reads from a module description file (MDF.xml): the
// resources with their bus type and protocol, and the ComParams each of
// them has with default value, data type and class. The file's layout:
//
//   <COMPARAM EID="CP_P2Max"><ID>1</ID><SHORT_NAME>CP_P2Max</SHORT_NAME>
//     <DATA_TYPE>PDU_PT_UNUM32</DATA_TYPE><CLASS>TIMING</CLASS></COMPARAM>
//   <BUSTYPE EID=".."> / <PROTOCOL EID="..">: <ID>, <SHORT_NAME> and
//     <COMPARAM_REF><COMPARAM IDREF="CP_.."/><DEFAULT_VALUE>..</DEFAULT_VALUE></COMPARAM_REF>
//   <RESOURCE EID=".."><ID>, <SHORT_NAME>, <BUSTYPE IDREF=".."/>, <PROTOCOL IDREF=".."/>
//
// Used to list a resource's ComParams (pdutool params), to check --param
// and `set` values before anything is sent, and for the shell's completion.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace pdutool {

struct MdfComParam {
  std::string name;
  uint32_t id = 0;
  std::string type;    // "PDU_PT_UNUM32", ...
  std::string pclass;  // "TIMING", "COM", ...
  std::string defaultValue;  // as written in the file; empty when none
};

struct MdfResource {
  std::string name;
  uint32_t id = 0;
  std::string busType;
  std::string protocol;
  std::vector<MdfComParam> params;  // the protocol's, then the bus type's
};

class ModuleDescription {
 public:
  // False with a readable error when the file cannot be read or parsed.
  bool Load(const std::string& path, std::string& error);
  bool Loaded() const { return loaded_; }
  const std::string& Path() const { return path_; }

  // By short name or decimal/0x id; null when there is none.
  const MdfResource* Resource(const std::string& nameOrId) const;
  const MdfComParam* ComParam(const std::string& name) const;
  const std::vector<MdfResource>& Resources() const { return resources_; }
  const std::vector<MdfComParam>& ComParams() const { return comParams_; }

 private:
  bool loaded_ = false;
  std::string path_;
  std::vector<MdfResource> resources_;
  std::vector<MdfComParam> comParams_;
};

// A resource of raw CAN frames (identifier word and data in both
// directions), not diagnostic messages; false for null.
inline bool IsRawCan(const MdfResource* r) { return r != nullptr && r->protocol == "ISO_11898_RAW"; }

// The default module description: $PDU7318_HOME/MDF.xml.
std::string DefaultMdfPath();

// Checks a value text against a ComParam's data type: numbers (decimal or
// 0x) within the type's range, byte fields as hex bytes, long fields as
// comma-separated numbers. Empty when it fits, else the reason.
std::string CheckParamValue(const MdfComParam& param, const std::string& text);

// Checks NAME=VALUE against the resource: an unknown ComParam or a value of
// the wrong type gives the error text; empty when it is fine.
std::string CheckParam(const ModuleDescription& mdf, const MdfResource* resource, const std::string& name,
                       const std::string& value);

}  // namespace pdutool
