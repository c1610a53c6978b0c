#include "platform/Process.h"

#include <dlfcn.h>

#include <atomic>
#include <mutex>

namespace pdu::platform {
namespace {

std::mutex g_PinMutex;
void* g_PinHandle = nullptr;

std::atomic<void (*)()> g_Teardown{nullptr};

// An ELF destructor, not a C++ static object: a static object's destructor
// is registered with __cxa_atexit when the library is loaded, so for a
// dlopen'd library it would run before every exit handler the application
// registered earlier - and tear the module down under an application that
// still means to call PDUDestruct from that handler. The loader's
// finalisation runs after all of them (and at dlclose).
__attribute__((destructor)) void RunLibraryTeardown() {
  void (*fn)() = g_Teardown.exchange(nullptr);
  if (fn != nullptr) fn();
}

}  // namespace

void SetLibraryTeardown(void (*fn)()) { g_Teardown.store(fn); }

bool ProcessIsEnding() { return false; }

void PinLibrary() {
  std::lock_guard<std::mutex> lock(g_PinMutex);
  if (g_PinHandle != nullptr) return;
  Dl_info info{};
  if (dladdr(reinterpret_cast<void*>(&PinLibrary), &info) == 0 || info.dli_fname == nullptr) return;
  // RTLD_NOLOAD: only a reference on what is loaded already. For a program
  // that links the code statically this names the program itself, which a
  // reference does no harm.
  g_PinHandle = dlopen(info.dli_fname, RTLD_NOW | RTLD_NOLOAD);
}

void UnpinLibrary() {
  std::lock_guard<std::mutex> lock(g_PinMutex);
  if (g_PinHandle == nullptr) return;
  dlclose(g_PinHandle);
  g_PinHandle = nullptr;
}

uint64_t ThreadHandleValue(std::thread& thread) {
  if (!thread.joinable()) return 0;
  return static_cast<uint64_t>(thread.native_handle());
}

}  // namespace pdu::platform
