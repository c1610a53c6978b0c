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
  fn_.ResolveEach(resolve);
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
