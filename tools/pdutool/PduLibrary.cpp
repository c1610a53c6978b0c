#include "PduLibrary.h"

#include <dlfcn.h>
#include <limits.h>
#include <unistd.h>

namespace pdutool {

PduLibrary::~PduLibrary() {
  // The library may still own threads that run its code; it has stopped
  // them in PDUDestruct. Unloading is left to process exit so that a
  // library which did not stop them cannot crash the tool on the way out.
  handle_ = nullptr;
}

bool PduLibrary::Load(const std::string& path, std::string& error) {
  path_ = path;
  handle_ = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle_ == nullptr) {
    const char* why = dlerror();
    error = why != nullptr ? why : ("cannot load " + path);
    return false;
  }
  auto resolve = [&](auto& slot, const char* name) {
    void* sym = dlsym(handle_, name);
    if (sym == nullptr) {
      missing_.push_back(name);
      return;
    }
    slot = reinterpret_cast<std::remove_reference_t<decltype(slot)>>(sym);
  };
#define PDUTOOL_RESOLVE(name) resolve(fn_.name, #name);
  PDUTOOL_RESOLVE(PDUConstruct)
  PDUTOOL_RESOLVE(PDUDestruct)
  PDUTOOL_RESOLVE(PDUIoCtl)
  PDUTOOL_RESOLVE(PDUGetVersion)
  PDUTOOL_RESOLVE(PDUGetStatus)
  PDUTOOL_RESOLVE(PDUGetLastError)
  PDUTOOL_RESOLVE(PDUGetResourceStatus)
  PDUTOOL_RESOLVE(PDUCreateComLogicalLink)
  PDUTOOL_RESOLVE(PDUDestroyComLogicalLink)
  PDUTOOL_RESOLVE(PDUConnect)
  PDUTOOL_RESOLVE(PDUDisconnect)
  PDUTOOL_RESOLVE(PDULockResource)
  PDUTOOL_RESOLVE(PDUUnlockResource)
  PDUTOOL_RESOLVE(PDUGetComParam)
  PDUTOOL_RESOLVE(PDUSetComParam)
  PDUTOOL_RESOLVE(PDUStartComPrimitive)
  PDUTOOL_RESOLVE(PDUCancelComPrimitive)
  PDUTOOL_RESOLVE(PDUGetEventItem)
  PDUTOOL_RESOLVE(PDUDestroyItem)
  PDUTOOL_RESOLVE(PDURegisterEventCallback)
  PDUTOOL_RESOLVE(PDUGetObjectId)
  PDUTOOL_RESOLVE(PDUGetModuleIds)
  PDUTOOL_RESOLVE(PDUGetResourceIds)
  PDUTOOL_RESOLVE(PDUGetConflictingResources)
  PDUTOOL_RESOLVE(PDUGetUniqueRespIdTable)
  PDUTOOL_RESOLVE(PDUSetUniqueRespIdTable)
  PDUTOOL_RESOLVE(PDUModuleConnect)
  PDUTOOL_RESOLVE(PDUModuleDisconnect)
  PDUTOOL_RESOLVE(PDUGetTimestamp)
#undef PDUTOOL_RESOLVE
  return true;
}

std::string DefaultLibraryPath() {
  char self[PATH_MAX];
  ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  if (n <= 0) return "libpdu7318.so";
  std::string exe(self, static_cast<size_t>(n));
  std::string dir = exe.substr(0, exe.rfind('/'));
  std::string beside = dir + "/../lib/libpdu7318.so";
  // Installed from the package, the library sits in the multiarch folder
  // and the dynamic loader finds it by its SONAME.
  return access(beside.c_str(), F_OK) == 0 ? beside : "libpdu7318.so.1";
}

}  // namespace pdutool
