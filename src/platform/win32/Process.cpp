#include "platform/Process.h"

#include <windows.h>
#include <pthread.h>

#include <atomic>
#include <mutex>

namespace pdu::platform {
namespace {

std::mutex g_PinMutex;
HMODULE g_PinHandle = nullptr;

// ntdll's RtlDllShutdownInProgress: TRUE once ExitProcess has begun ending
// the DLLs (the other threads are gone by then). Looked up at run time; it
// is not in the import libraries.
using ShutdownInProgressFn = BOOLEAN(WINAPI*)();

std::atomic<void (*)()> g_Teardown{nullptr};

// The C runtime destroys a DLL's static objects in DLL_PROCESS_DETACH,
// after the DLL's own atexit list; an application's atexit handlers and
// global destructors live in the executable's list and have run before
// ExitProcess detaches the DLLs. At FreeLibrary it is the unload itself.
struct TeardownAtDetach {
  TeardownAtDetach() = default;
  TeardownAtDetach(const TeardownAtDetach&) = delete;
  TeardownAtDetach& operator=(const TeardownAtDetach&) = delete;
  ~TeardownAtDetach() {
    void (*fn)() = g_Teardown.exchange(nullptr);
    if (fn != nullptr) fn();
  }
};
TeardownAtDetach g_TeardownAtDetach;

}  // namespace

void SetLibraryTeardown(void (*fn)()) { g_Teardown.store(fn); }
void SetForkChildHandler(void (*)()) {}  // no fork on Windows
uint64_t CurrentProcessId() { return GetCurrentProcessId(); }

bool ProcessIsEnding() {
  static const ShutdownInProgressFn fn = [] {
    HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    return ntdll != nullptr
               ? reinterpret_cast<ShutdownInProgressFn>(
                     reinterpret_cast<void*>(GetProcAddress(ntdll, "RtlDllShutdownInProgress")))
               : nullptr;
  }();
  return fn != nullptr && fn() != FALSE;
}

bool ProcessIsExiting() { return ProcessIsEnding(); }

void PinLibrary() {
  std::lock_guard<std::mutex> lock(g_PinMutex);
  if (g_PinHandle != nullptr) return;
  // One more reference on the module that holds this function; released by
  // UnpinLibrary. (GET_MODULE_HANDLE_EX_FLAG_PIN would pin it for good,
  // which would keep a FreeLibrary after PDUDestruct from unloading it.)
  HMODULE self = nullptr;
  if (GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                         reinterpret_cast<LPCWSTR>(reinterpret_cast<void*>(&PinLibrary)), &self)) {
    g_PinHandle = self;
  }
}

void UnpinLibrary() {
  std::lock_guard<std::mutex> lock(g_PinMutex);
  if (g_PinHandle == nullptr) return;
  FreeLibrary(g_PinHandle);
  g_PinHandle = nullptr;
}

void ExitThreadGivingBackPin() {
  HMODULE pin = nullptr;
  {
    std::lock_guard<std::mutex> lock(g_PinMutex);
    pin = g_PinHandle;
    g_PinHandle = nullptr;
  }
  if (pin != nullptr) FreeLibraryAndExitThread(pin, 0);
}

uint64_t ThreadHandleValue(std::thread& thread) {
  if (!thread.joinable()) return 0;
  return static_cast<uint64_t>(reinterpret_cast<uintptr_t>(pthread_gethandle(thread.native_handle())));
}

}  // namespace pdu::platform
