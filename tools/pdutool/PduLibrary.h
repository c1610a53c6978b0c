// A D-PDU API library loaded at run time: dlopen by path, the 29 functions
// of ISO 22900-2 resolved by name. Any vendor's library with these exports
// works; a missing function is reported and left null, and calling it
// gives PDU_ERR_FCT_FAILED instead of a crash.
#pragma once

#include <string>
#include <vector>

#include "pdu_api.h"

namespace pdutool {

struct PduFunctions {
#define PDUTOOL_FN(name, ...) T_PDU_ERROR(PDU_CALL* name)(__VA_ARGS__) = nullptr;
  PDUTOOL_FN(PDUConstruct, CHAR8*, void*)
  PDUTOOL_FN(PDUDestruct, void)
  PDUTOOL_FN(PDUIoCtl, UNUM32, UNUM32, UNUM32, PDU_DATA_ITEM*, PDU_DATA_ITEM**)
  PDUTOOL_FN(PDUGetVersion, UNUM32, PDU_VERSION_DATA*)
  PDUTOOL_FN(PDUGetStatus, UNUM32, UNUM32, UNUM32, T_PDU_STATUS*, UNUM32*, UNUM32*)
  PDUTOOL_FN(PDUGetLastError, UNUM32, UNUM32, T_PDU_ERR_EVT*, UNUM32*, UNUM32*, UNUM32*)
  PDUTOOL_FN(PDUGetResourceStatus, PDU_RSC_STATUS_ITEM*)
  PDUTOOL_FN(PDUCreateComLogicalLink, UNUM32, PDU_RSC_DATA*, UNUM32, void*, UNUM32*, PDU_FLAG_DATA*)
  PDUTOOL_FN(PDUDestroyComLogicalLink, UNUM32, UNUM32)
  PDUTOOL_FN(PDUConnect, UNUM32, UNUM32)
  PDUTOOL_FN(PDUDisconnect, UNUM32, UNUM32)
  PDUTOOL_FN(PDULockResource, UNUM32, UNUM32, UNUM32)
  PDUTOOL_FN(PDUUnlockResource, UNUM32, UNUM32, UNUM32)
  PDUTOOL_FN(PDUGetComParam, UNUM32, UNUM32, UNUM32, PDU_PARAM_ITEM**)
  PDUTOOL_FN(PDUSetComParam, UNUM32, UNUM32, PDU_PARAM_ITEM*)
  PDUTOOL_FN(PDUStartComPrimitive, UNUM32, UNUM32, T_PDU_COPT, UNUM32, UNUM8*, PDU_COP_CTRL_DATA*, void*, UNUM32*)
  PDUTOOL_FN(PDUCancelComPrimitive, UNUM32, UNUM32, UNUM32)
  PDUTOOL_FN(PDUGetEventItem, UNUM32, UNUM32, PDU_EVENT_ITEM**)
  PDUTOOL_FN(PDUDestroyItem, PDU_ITEM*)
  PDUTOOL_FN(PDURegisterEventCallback, UNUM32, UNUM32, CALLBACKFNC)
  PDUTOOL_FN(PDUGetObjectId, T_PDU_OBJT, CHAR8*, UNUM32*)
  PDUTOOL_FN(PDUGetModuleIds, PDU_MODULE_ITEM**)
  PDUTOOL_FN(PDUGetResourceIds, UNUM32, PDU_RSC_DATA*, PDU_RSC_ID_ITEM**)
  PDUTOOL_FN(PDUGetConflictingResources, UNUM32, PDU_MODULE_ITEM*, PDU_RSC_CONFLICT_ITEM**)
  PDUTOOL_FN(PDUGetUniqueRespIdTable, UNUM32, UNUM32, PDU_UNIQUE_RESP_ID_TABLE_ITEM**)
  PDUTOOL_FN(PDUSetUniqueRespIdTable, UNUM32, UNUM32, PDU_UNIQUE_RESP_ID_TABLE_ITEM*)
  PDUTOOL_FN(PDUModuleConnect, UNUM32)
  PDUTOOL_FN(PDUModuleDisconnect, UNUM32)
  PDUTOOL_FN(PDUGetTimestamp, UNUM32, UNUM32*)
#undef PDUTOOL_FN
};

class PduLibrary {
 public:
  PduLibrary() = default;
  ~PduLibrary();
  PduLibrary(const PduLibrary&) = delete;
  PduLibrary& operator=(const PduLibrary&) = delete;

  // dlopen the file and resolve every function. False with the loader's
  // message when the file cannot be loaded; missing functions are listed
  // in Missing() and do not make the load fail.
  bool Load(const std::string& path, std::string& error);

  const PduFunctions& Fn() const { return fn_; }
  const std::vector<std::string>& Missing() const { return missing_; }
  const std::string& Path() const { return path_; }

 private:
  void* handle_ = nullptr;
  std::string path_;
  PduFunctions fn_;
  std::vector<std::string> missing_;
};

// Calls f when the library has it, else answers PDU_ERR_FCT_FAILED.
template <typename F, typename... A>
T_PDU_ERROR Invoke(F f, A... args) {
  return f != nullptr ? f(args...) : PDU_ERR_FCT_FAILED;
}

// The library next to the tool: <dir of the executable>/../lib/libpdu7318.so
// when that file exists (a build tree), else "libpdu7318.so.1" for the
// dynamic loader's search (an installed package).
std::string DefaultLibraryPath();

}  // namespace pdutool
