// The shell's link, request and ComParam commands.
#include <algorithm>
#include <cstdio>

#include "Commands.h"
#include "Names.h"
#include "Numbers.h"
#include "ShellInternal.h"
#include "Signals.h"

namespace pdutool::shell {

Outcome Shell::CmdLink(const std::vector<std::string>& t) {
  if (t.size() < 2 || t[1][0] == '-') return Usage("link RESOURCE [--resp-id ID]... [--tx ID --rx ID] [--param N=V]...");
  Link link;
  link.resource = t[1];
  std::vector<std::pair<std::string, std::string>> params;
  std::vector<std::vector<std::pair<std::string, std::string>>> unique;
  std::string tx, rx;
  bool functional = false;
  for (size_t i = 2; i < t.size(); ++i) {
    const std::string& a = t[i];
    auto value = [&](std::string& out) {
      if (i + 1 >= t.size()) return false;
      out = t[++i];
      return true;
    };
    std::string v;
    if (a == "--resp-id" && value(v)) {
      if (!ParseUnsigned(v)) return Usage("--resp-id: not a number: " + v);
      unique.push_back({{"CP_CanRespUSDTId", v}});
    } else if (a == "--tx" && value(v)) {
      tx = v;
    } else if (a == "--rx" && value(v)) {
      rx = v;
    } else if (a == "--param" && value(v)) {
      size_t eq = v.find('=');
      if (eq == std::string::npos || eq == 0) return Usage("--param NAME=VALUE");
      params.emplace_back(v.substr(0, eq), v.substr(eq + 1));
    } else if (a == "--functional") {
      functional = true;
    } else {
      return Usage("link: unexpected " + a);
    }
  }
  if (std::string why = AddCanIds(tx, rx, params, unique); !why.empty()) return Usage(why);
  if (functional) {
    params.insert(params.begin(), {"CP_RequestAddrMode", "2"});
    link.receiveCycles = -1;
  }
  const MdfResource* resource = mdf_.Loaded() ? mdf_.Resource(link.resource) : nullptr;
  if (mdf_.Loaded() && resource == nullptr && !ParseUnsigned(link.resource)) {
    return Usage("the module description has no resource " + link.resource);
  }
  if (mdf_.Loaded()) {
    for (const auto& [name, value] : params) {
      if (std::string why = CheckParam(mdf_, resource, name, value); !why.empty()) return Usage(why);
    }
  }
  UNUM32 resourceId = 0;
  if (auto id = ParseUnsigned(link.resource)) {
    resourceId = *id;
  } else {
    resourceId = c_.ObjectId(PDU_OBJT_RESOURCE, link.resource);
    if (resourceId == PDU_ID_UNDEF) return Usage("the module knows no resource " + link.resource);
  }
  PDU_FLAG_DATA noFlags{0, nullptr};
  if (!c_.Check("PDUCreateComLogicalLink", Invoke(fn_.PDUCreateComLogicalLink, c_.hMod(), nullptr, resourceId,
                                                  nullptr, &link.hCLL, &noFlags))) {
    return CallFailed();
  }
  c_.RegisterCallback(link.hCLL, true);
  if (IsRawCan(resource)) c_.MarkRawLink(link.hCLL);
  links_.push_back(link);
  current_ = links_.size() - 1;
  std::printf("link %zu: hCLL %u on %s (resource id %u)\n", links_.size(), link.hCLL, link.resource.c_str(),
              resourceId);
  int rc = SetupLink(c_, doc_, link.hCLL, unique, params);
  if (rc == kExitUsage) return Outcome::kUsage;
  return rc == kExitOk ? Outcome::kOk : Outcome::kLibrary;
}

Outcome Shell::CmdSend(const std::vector<std::string>& t) {
  std::string why;
  std::vector<uint8_t> req;
  if (!Bytes(t, 1, req, why)) return Usage(why);
  return Primitive(links_[current_], PDU_COPT_SENDRECV, req);
}

Outcome Shell::CmdExpect(const std::vector<std::string>& t) {
  std::string why;
  std::vector<uint8_t> want;
  std::vector<bool> any;
  // A last "..." stands for any number of further bytes.
  const bool prefix = t.size() > 2 && t.back() == "...";
  std::vector<std::string> patterns(t.begin(), prefix ? t.end() - 1 : t.end());
  if (!Bytes(patterns, 1, want, why, &any)) return Usage(why);
  const std::vector<uint8_t>& got = c_.LastAnswer();
  bool match = prefix ? got.size() >= want.size() : got.size() == want.size();
  for (size_t i = 0; match && i < want.size(); ++i) match = any[i] || got[i] == want[i];
  std::string wantText;
  for (size_t i = 0; i < want.size(); ++i) wantText += (i ? " " : "") + (any[i] ? std::string("..") : Hex(&want[i], 1));
  if (prefix) wantText += " ...";
  if (match) {
    std::printf("  expect %s: ok\n", wantText.c_str());
    return Outcome::kOk;
  }
  std::printf("  expect %s: FAILED, the answer was %s\n", wantText.c_str(),
              got.empty() ? "none" : Hex(got.data(), got.size()).c_str());
  return Outcome::kFailed;
}

Outcome Shell::CmdSet(const std::vector<std::string>& t) {
  std::string joined;
  for (size_t i = 1; i < t.size(); ++i) joined += (i > 1 ? " " : "") + t[i];
  size_t eq = joined.find('=');
  if (eq == std::string::npos || eq == 0) return Usage("set CP_NAME=VALUE");
  std::string name = joined.substr(0, eq);
  std::string value = joined.substr(eq + 1);
  while (!name.empty() && name.back() == ' ') name.pop_back();
  while (!value.empty() && value.front() == ' ') value.erase(0, 1);
  if (mdf_.Loaded()) {
    const MdfResource* resource = mdf_.Resource(links_[current_].resource);
    if (std::string why = CheckParam(mdf_, resource, name, value); !why.empty()) return Usage(why);
  }
  int rc = SetupLink(c_, doc_, links_[current_].hCLL, {}, {{name, value}});
  if (rc == kExitUsage) return Outcome::kUsage;
  return rc == kExitOk && !c_.Failed() ? Outcome::kOk : Outcome::kLibrary;
}

std::string ParamText(const PDU_PARAM_ITEM* p) {
  if (p == nullptr || p->pComParamData == nullptr) return "-";
  switch (p->ComParamDataType) {
    case PDU_PT_UNUM8: return std::to_string(*static_cast<const UNUM8*>(p->pComParamData));
    case PDU_PT_SNUM8: return std::to_string(*static_cast<const SNUM8*>(p->pComParamData));
    case PDU_PT_UNUM16: return std::to_string(*static_cast<const UNUM16*>(p->pComParamData));
    case PDU_PT_SNUM16: return std::to_string(*static_cast<const SNUM16*>(p->pComParamData));
    case PDU_PT_UNUM32: return std::to_string(*static_cast<const UNUM32*>(p->pComParamData));
    case PDU_PT_SNUM32: return std::to_string(*static_cast<const SNUM32*>(p->pComParamData));
    case PDU_PT_BYTEFIELD: {
      const auto* f = static_cast<const PDU_PARAM_BYTEFIELD_DATA*>(p->pComParamData);
      return "[" + Hex(f->pDataArray, f->pDataArray != nullptr ? f->ParamActLen : 0) + "]";
    }
    case PDU_PT_LONGFIELD: {
      const auto* f = static_cast<const PDU_PARAM_LONGFIELD_DATA*>(p->pComParamData);
      std::string s;
      for (UNUM32 i = 0; f->pDataArray != nullptr && i < f->ParamActLen; ++i) {
        s += (i ? "," : "") + std::to_string(f->pDataArray[i]);
      }
      return s;
    }
    default: return "(structure)";
  }
}

Outcome Shell::CmdGet(const std::string& name) {
  UNUM32 id = c_.ObjectId(PDU_OBJT_COMPARAM, name);
  if (id == PDU_ID_UNDEF) return Usage("unknown ComParam " + name);
  PDU_PARAM_ITEM* item = nullptr;
  if (!c_.Check("PDUGetComParam", Invoke(fn_.PDUGetComParam, c_.hMod(), links_[current_].hCLL, id, &item))) {
    return CallFailed();
  }
  std::printf("%s = %s\n", name.c_str(), ParamText(item).c_str());
  if (item != nullptr) Invoke(fn_.PDUDestroyItem, reinterpret_cast<PDU_ITEM*>(item));
  return Outcome::kOk;
}

Outcome Shell::CmdParams() {
  const MdfResource* resource = mdf_.Loaded() ? mdf_.Resource(links_[current_].resource) : nullptr;
  if (resource == nullptr) return Usage("the module description does not describe " + links_[current_].resource);
  std::printf("  %-32s %-16s %-10s %-14s %s\n", "name", "value", "type", "class", "default");
  for (const MdfComParam& p : resource->params) {
    std::string value = "?";
    PDU_PARAM_ITEM* item = nullptr;
    if (Invoke(fn_.PDUGetComParam, c_.hMod(), links_[current_].hCLL, p.id, &item) == PDU_STATUS_NOERROR) {
      value = ParamText(item);
      Invoke(fn_.PDUDestroyItem, reinterpret_cast<PDU_ITEM*>(item));
    }
    std::string type = p.type.rfind("PDU_PT_", 0) == 0 ? p.type.substr(7) : p.type;
    std::printf("  %-32s %-16s %-10s %-14s %s\n", p.name.c_str(), value.c_str(), type.c_str(), p.pclass.c_str(),
                p.defaultValue.c_str());
  }
  return Outcome::kOk;
}

Outcome Shell::CmdIoctl(const std::string& what) {
  std::string name = what;
  if (what == "vbatt") name = "PDU_IOCTL_READ_VBATT";
  if (what == "ignition") name = "PDU_IOCTL_READ_IGNITION_SENSE_STATE";
  UNUM32 id = c_.ObjectId(PDU_OBJT_IO_CTRL, name);
  if (id == PDU_ID_UNDEF) return Usage("the module has no I/O control " + name);
  PDU_DATA_ITEM* out = nullptr;
  T_PDU_ERROR status = Invoke(fn_.PDUIoCtl, c_.hMod(), PDU_HANDLE_UNDEF, id, nullptr, &out);
  c_.CheckIoCtlStatus(status);
  Outcome o = Outcome::kOk;
  if (status != PDU_STATUS_NOERROR) {
    std::printf("%s: FAILED: %s\n", name.c_str(), StatusName(status).c_str());
    o = Outcome::kLibrary;
  } else if (out != nullptr && out->ItemType == PDU_IT_IO_UNUM32 && out->pData != nullptr) {
    UNUM32 value = *static_cast<UNUM32*>(out->pData);
    if (name == "PDU_IOCTL_READ_VBATT") {
      std::printf("battery voltage: %u mV (%.2f V)\n", value, value / 1000.0);
    } else if (name == "PDU_IOCTL_READ_IGNITION_SENSE_STATE") {
      std::printf("ignition: %s (%u)\n", value ? "on" : "off", value);
    } else {
      std::printf("%s: %u\n", name.c_str(), value);
    }
  } else {
    std::printf("%s: done\n", name.c_str());
  }
  if (out != nullptr) Invoke(fn_.PDUDestroyItem, reinterpret_cast<PDU_ITEM*>(out));
  return o;
}

}  // namespace pdutool::shell
