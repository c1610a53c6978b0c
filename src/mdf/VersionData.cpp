#include "mdf/VersionData.h"

#include <cstdio>
#include <string>

#include "platform/Platform.h"

namespace pdu::mdf {

namespace {

// Texts land in 64-byte fields: at most 63 characters.
void CopyField(char (&dst)[64], const std::string& src) { std::snprintf(dst, sizeof dst, "%s", src.c_str()); }

}  // namespace

PDU_VERSION_DATA ReadVersionData() {
  const std::string ini = platform::AppFolder() + "PDUAPI_7318.ini";
  const char* sec = "MVCI_VERSION";
  auto num = [&](const char* key) { return static_cast<uint32_t>(platform::ReadIniInt(ini, sec, key, 0)); };
  auto text = [&](const char* key) { return platform::ReadIniString(ini, sec, key, ""); };
  PDU_VERSION_DATA v{};
  // Read in the order the profile is read on every platform.
  v.FwDate = num("FWDate");
  CopyField(v.FwName, text("FWName"));
  v.FwVersion = num("HWVersion");
  v.HwDate = num("HwDate");
  v.HwInterface = num("HwInterface");
  CopyField(v.HwName, text("HwName"));
  v.HwSerialNumber = num("HwSerialNumber");
  CopyField(v.PDUApiSwName, text("APISWName"));
  v.PDUApiSwVersion = num("APISWVersion");
  CopyField(v.VendorName, text("VendorName"));
  v.PDUApiSwDate = num("APISWDate");
  v.MVCI_Part1StandardVersion = 0x02020000;
  v.MVCI_Part2StandardVersion = 0x02020000;
  v.HwVersion = 0x01000000;
  return v;
}

}  // namespace pdu::mdf
