// The library's place in its host process: whether the process is ending,
// keeping the library mapped while its threads run, thread handle values.
// posix/Process.cpp and win32/Process.cpp implement it.
#pragma once

#include <cstdint>
#include <thread>

namespace pdu::platform {

// True while the process is ending and the OS has already ended every
// thread but the one that runs this (Windows: DLL_PROCESS_DETACH during
// ExitProcess). Then no thread may be joined or woken. Always false on
// Linux, where exit() runs the library's static destructors with every
// thread still alive.
bool ProcessIsEnding();

// True once the process has begun to exit: its exit handlers have run (or,
// as ProcessIsEnding, the OS is ending it). False at an unload (dlclose,
// FreeLibrary) of a process that goes on. The library's teardown keeps its
// state at exit (threads of the application may still call in) and
// releases it at an unload.
bool ProcessIsExiting();

// The id of the process that runs this (a forked child has its own).
uint64_t CurrentProcessId();

// Registers fn to run in the child of every fork(), on its only thread,
// before fork() returns there (Linux: pthread_atfork; Windows has no fork).
// The platform's own locks are made anew before fn runs. The last
// registration wins.
void SetForkChildHandler(void (*fn)());

// Keeps the library mapped even when the application unloads it (dlclose,
// FreeLibrary): a thread of ours running code that was unmapped would
// crash the process. PinLibrary takes one extra reference on the library
// that contains this code (only the first call while unpinned does);
// UnpinLibrary gives it back. Safe when the code is linked statically.
void PinLibrary();
void UnpinLibrary();
// Called by a thread of ours as its very last act. Windows: gives back the
// pin and ends the thread in one step (FreeLibraryAndExitThread), so the
// library may be unmapped the moment the thread is gone; it does not
// return. Elsewhere (no such call): returns at once, the pin stays until
// the thread is joined.
void ExitThreadGivingBackPin();

// Registers the library's teardown: fn runs once, when the library is
// unloaded or the process ends, after the application's own exit handlers
// and static destructors, whatever order they were registered in relative
// to the library's load (so that an application's PDUDestruct in an atexit
// handler or a global object's destructor still finds the module whole).
//   Linux: an ELF destructor of the library, which the dynamic loader runs
//   at dlclose and, on exit(), after every atexit handler and C++ static
//   destructor (those run first; the loader's own finalisation last).
//   Windows: DLL_PROCESS_DETACH (FreeLibrary, or ExitProcess after the OS
//   has ended the other threads: see ProcessIsEnding).
// The last registration wins; nullptr removes it.
void SetLibraryTeardown(void (*fn)());

// The OS handle of a thread as a number, for log lines (pthread_t on Linux,
// the Win32 HANDLE on Windows); 0 for a thread that does not run.
uint64_t ThreadHandleValue(std::thread& thread);

}  // namespace pdu::platform
