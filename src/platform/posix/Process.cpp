#include "platform/Process.h"

#include <dlfcn.h>
#include <pthread.h>
#include <unistd.h>

#include <atomic>

namespace pdu::platform {
namespace {

// A plain pthread mutex (trivially destructible, usable at exit), made
// anew in a forked child.
pthread_mutex_t g_PinMutex = PTHREAD_MUTEX_INITIALIZER;
void* g_PinHandle = nullptr;

class PinLock {
 public:
  PinLock() { pthread_mutex_lock(&g_PinMutex); }
  ~PinLock() { pthread_mutex_unlock(&g_PinMutex); }
  PinLock(const PinLock&) = delete;
  PinLock& operator=(const PinLock&) = delete;
};

std::atomic<void (*)()> g_Teardown{nullptr};
std::atomic<void (*)()> g_ForkChild{nullptr};
std::atomic<bool> g_Exiting{false};

void RunForkChild() {
  g_PinMutex = PTHREAD_MUTEX_INITIALIZER;
  void (*fn)() = g_ForkChild.load();
  if (fn != nullptr) fn();
}

void MarkExiting(void*) { g_Exiting.store(true); }

}  // namespace
}  // namespace pdu::platform

// The C++ runtime's registration of an exit handler tied to a library.
extern "C" int __cxa_atexit(void (*fn)(void*), void* arg, void* dso);
extern "C" void* __dso_handle;

namespace pdu::platform {
namespace {

// At load: the fork handler, and an exit handler that only notes that exit
// has begun. Both are tied to this library by its handle, so an unload
// removes them; at dlclose the note runs only after the ELF destructor
// below, so that one still sees an unload. __cxa_atexit with the handle
// rather than atexit: a sanitizer's atexit interceptor registers without
// it, and would call the note in an unloaded library at exit.
__attribute__((constructor)) void RegisterProcessHooks() {
  pthread_atfork(nullptr, nullptr, &RunForkChild);
  __cxa_atexit(&MarkExiting, nullptr, &__dso_handle);
}

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
void SetForkChildHandler(void (*fn)()) { g_ForkChild.store(fn); }

bool ProcessIsEnding() { return false; }
bool ProcessIsExiting() { return g_Exiting.load(); }
uint64_t CurrentProcessId() { return static_cast<uint64_t>(getpid()); }

void PinLibrary() {
  PinLock lock;
  if (g_PinHandle != nullptr) return;
  Dl_info info{};
  if (dladdr(reinterpret_cast<void*>(&PinLibrary), &info) == 0 || info.dli_fname == nullptr) return;
  // RTLD_NOLOAD: only a reference on what is loaded already. For a program
  // that links the code statically this names the program itself, which a
  // reference does no harm.
  g_PinHandle = dlopen(info.dli_fname, RTLD_NOW | RTLD_NOLOAD);
}

void UnpinLibrary() {
  PinLock lock;
  if (g_PinHandle == nullptr) return;
  dlclose(g_PinHandle);
  g_PinHandle = nullptr;
}

void ExitThreadGivingBackPin() {}

uint64_t ThreadHandleValue(std::thread& thread) {
  if (!thread.joinable()) return 0;
  return static_cast<uint64_t>(thread.native_handle());
}

}  // namespace pdu::platform
