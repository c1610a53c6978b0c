// A D-PDU API library loaded at run time: dlopen by path, the 29 functions
// of ISO 22900-2 resolved by name. Any vendor's library with these exports
// works; a missing function is reported and left null, and calling it
// gives PDU_ERR_FCT_FAILED instead of a crash.
#pragma once

#include <string>
#include <vector>

#include "pdu_api.h"

namespace pdutool {

// The 29 functions, X(name, parameter types...); the one list that the
// function table and both loaders (dlsym, GetProcAddress) are made from.
#define PDUTOOL_FOR_EACH_FUNCTION(X) \
  X(PDUConstruct, CHAR8*, void*) \
  X(PDUDestruct, void) \
  X(PDUIoCtl, UNUM32, UNUM32, UNUM32, PDU_DATA_ITEM*, PDU_DATA_ITEM**) \
  X(PDUGetVersion, UNUM32, PDU_VERSION_DATA*) \
  X(PDUGetStatus, UNUM32, UNUM32, UNUM32, T_PDU_STATUS*, UNUM32*, UNUM32*) \
  X(PDUGetLastError, UNUM32, UNUM32, T_PDU_ERR_EVT*, UNUM32*, UNUM32*, UNUM32*) \
  X(PDUGetResourceStatus, PDU_RSC_STATUS_ITEM*) \
  X(PDUCreateComLogicalLink, UNUM32, PDU_RSC_DATA*, UNUM32, void*, UNUM32*, PDU_FLAG_DATA*) \
  X(PDUDestroyComLogicalLink, UNUM32, UNUM32) \
  X(PDUConnect, UNUM32, UNUM32) \
  X(PDUDisconnect, UNUM32, UNUM32) \
  X(PDULockResource, UNUM32, UNUM32, UNUM32) \
  X(PDUUnlockResource, UNUM32, UNUM32, UNUM32) \
  X(PDUGetComParam, UNUM32, UNUM32, UNUM32, PDU_PARAM_ITEM**) \
  X(PDUSetComParam, UNUM32, UNUM32, PDU_PARAM_ITEM*) \
  X(PDUStartComPrimitive, UNUM32, UNUM32, T_PDU_COPT, UNUM32, UNUM8*, PDU_COP_CTRL_DATA*, void*, UNUM32*) \
  X(PDUCancelComPrimitive, UNUM32, UNUM32, UNUM32) \
  X(PDUGetEventItem, UNUM32, UNUM32, PDU_EVENT_ITEM**) \
  X(PDUDestroyItem, PDU_ITEM*) \
  X(PDURegisterEventCallback, UNUM32, UNUM32, CALLBACKFNC) \
  X(PDUGetObjectId, T_PDU_OBJT, CHAR8*, UNUM32*) \
  X(PDUGetModuleIds, PDU_MODULE_ITEM**) \
  X(PDUGetResourceIds, UNUM32, PDU_RSC_DATA*, PDU_RSC_ID_ITEM**) \
  X(PDUGetConflictingResources, UNUM32, PDU_MODULE_ITEM*, PDU_RSC_CONFLICT_ITEM**) \
  X(PDUGetUniqueRespIdTable, UNUM32, UNUM32, PDU_UNIQUE_RESP_ID_TABLE_ITEM**) \
  X(PDUSetUniqueRespIdTable, UNUM32, UNUM32, PDU_UNIQUE_RESP_ID_TABLE_ITEM*) \
  X(PDUModuleConnect, UNUM32) \
  X(PDUModuleDisconnect, UNUM32) \
  X(PDUGetTimestamp, UNUM32, UNUM32*)

struct PduFunctions {
#define PDUTOOL_FN(name, ...) T_PDU_ERROR(PDU_CALL* name)(__VA_ARGS__) = nullptr;
  PDUTOOL_FOR_EACH_FUNCTION(PDUTOOL_FN)
#undef PDUTOOL_FN

  // Calls resolve(slot, "PDUConstruct") and so on for every function.
  template <class Resolve>
  void ResolveEach(Resolve&& resolve) {
#define PDUTOOL_RESOLVE(name, ...) resolve(name, #name);
    PDUTOOL_FOR_EACH_FUNCTION(PDUTOOL_RESOLVE)
#undef PDUTOOL_RESOLVE
  }
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
