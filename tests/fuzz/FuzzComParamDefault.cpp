// Fuzz target: ConvertDefaultValue, the conversion of a module description's
// DEFAULT_VALUE text by the ComParam's data type.
//
// Input: first byte picks the data type (the nine PDU_PT_* values, or an
// arbitrary unknown one), the rest is the text. Every value made is read
// back as one number, deep-copied and released, as link creation and
// PDUGetComParam do with it.
#include "FuzzSupport.h"
#include "mdf/ComParamValue.h"
#include "pdu_api.h"

using namespace pdu::mdf;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  pdu::fuzz::FuzzHome();
  pdu::fuzz::InputReader in(data, size);
  const uint8_t pick = in.Byte();
  const uint32_t dataType = pick < 0xF0 ? PDU_PT_UNUM8 + pick % 9 : 0x100u + pick;
  const std::string text = in.RestAsText();

  void* value = ConvertDefaultValue(text.c_str(), dataType);
  if (dataType == PDU_PT_BYTEFIELD) {
    const auto* field = static_cast<const PDU_PARAM_BYTEFIELD_DATA*>(value);
    FUZZ_CHECK(field != nullptr);
    FUZZ_CHECK(field->ParamActLen == 0 || field->pDataArray != nullptr);
  } else if (dataType == PDU_PT_LONGFIELD) {
    const auto* field = static_cast<const PDU_PARAM_LONGFIELD_DATA*>(value);
    FUZZ_CHECK(field != nullptr);
    FUZZ_CHECK(field->ParamActLen == 0 || field->pDataArray != nullptr);
  }
  (void)ComParamValueAsU32(value, dataType);
  void* copy = CloneComParamValue(value, dataType);
  (void)ComParamValueAsU32(copy, dataType);
  FreeComParamValue(copy, dataType);
  FreeComParamValue(value, dataType);

  (void)ParseHexByteList(text.c_str());
  (void)ParseDecimalList(text.c_str());
  return 0;
}
