/* A Windows application at the edges of the module's lifetime; the
 * end-to-end run under Wine checks its exit status and what it prints.
 *
 *   exit_client.exe DLL [MODE]
 *
 * Loads the DLL, constructs and opens a UDS link on CAN, then by MODE:
 *   exit (default)  starts the routine 31 01 02 03 (the demo car answers
 *                   "response pending" for more than a second) and returns
 *                   7 from main at once, without PDUDestruct: the process
 *                   must end with 7, not hang or crash in the detach;
 *   callback-destruct-freelibrary  an event callback calls PDUDestruct;
 *                   right after it returned the application calls
 *                   FreeLibrary: that must return at once (no join under
 *                   the loader lock) and the DLL must be unloaded within
 *                   2 s (the engine thread gives back the library's
 *                   reference as its last act); prints
 *                   "callback destruct: 0x0", "FreeLibrary returned" and
 *                   "dll unloaded", returns 0;
 *   destruct-2      two threads call PDUDestruct at once while a
 *                   ComPrimitive runs: prints "destructs: <n> ok" (one
 *                   returns 0x0, the other 0x11), returns 0. */
#include <windows.h>
#include <stdio.h>
#include <string.h>

#include "pdu_api.h"

typedef T_PDU_ERROR(PDU_CALL* ConstructFn)(CHAR8*, void*);
typedef T_PDU_ERROR(PDU_CALL* GetObjectIdFn)(T_PDU_OBJT, CHAR8*, UNUM32*);
typedef T_PDU_ERROR(PDU_CALL* CreateLinkFn)(UNUM32, PDU_RSC_DATA*, UNUM32, void*, UNUM32*, PDU_FLAG_DATA*);
typedef T_PDU_ERROR(PDU_CALL* ConnectFn)(UNUM32, UNUM32);
typedef T_PDU_ERROR(PDU_CALL* StartCopFn)(UNUM32, UNUM32, T_PDU_COPT, UNUM32, UNUM8*, PDU_COP_CTRL_DATA*, void*,
                                          UNUM32*);
typedef T_PDU_ERROR(PDU_CALL* DestructFn)(void);
typedef T_PDU_ERROR(PDU_CALL* RegisterFn)(UNUM32, UNUM32, CALLBACKFNC);

static DestructFn destruct;
static volatile LONG callbackStatus = -1;
static T_PDU_ERROR threadStatus[2];

static void PDU_CALL DestructingCallback(T_PDU_EVT_DATA event, UNUM32 hMod, UNUM32 hCLL, void* tag, void* api) {
  (void)event, (void)hMod, (void)hCLL, (void)tag, (void)api;
  if (InterlockedCompareExchange(&callbackStatus, -2, -1) == -1) {
    InterlockedExchange(&callbackStatus, (LONG)destruct());
  }
}

static DWORD WINAPI DestructThread(LPVOID arg) {
  *(T_PDU_ERROR*)arg = destruct();
  return 0;
}

static FARPROC Need(HMODULE lib, const char* name) {
  FARPROC f = GetProcAddress(lib, name);
  if (f == NULL) {
    fprintf(stderr, "exit_client: no %s\n", name);
    ExitProcess(90);
  }
  return f;
}

static void Check(const char* what, T_PDU_ERROR status) {
  if (status == PDU_STATUS_NOERROR) return;
  fprintf(stderr, "exit_client: %s failed: 0x%X\n", what, (unsigned)status);
  ExitProcess(91);
}

int main(int argc, char** argv) {
  const char* path = argc > 1 ? argv[1] : "pdu7318.dll";
  const char* mode = argc > 2 ? argv[2] : "exit";
  HMODULE lib = LoadLibraryA(path);
  CHAR8 options[] = "";
  CHAR8 resourceName[] = "RSC_ISO_15765_3_on_ISO_15765_2_6_14";
  UNUM8 routine[] = {0x31, 0x01, 0x02, 0x03};
  UNUM32 resource = 0, hCLL = 0, hCoP = 0;
  PDU_COP_CTRL_DATA ctrl;
  ConstructFn construct;
  GetObjectIdFn getObjectId;
  CreateLinkFn createLink;
  ConnectFn connect;
  StartCopFn startCop;

  if (lib == NULL) {
    fprintf(stderr, "exit_client: cannot load the library (error %lu)\n", (unsigned long)GetLastError());
    return 92;
  }
  construct = (ConstructFn)(void (*)(void))Need(lib, "PDUConstruct");
  getObjectId = (GetObjectIdFn)(void (*)(void))Need(lib, "PDUGetObjectId");
  createLink = (CreateLinkFn)(void (*)(void))Need(lib, "PDUCreateComLogicalLink");
  connect = (ConnectFn)(void (*)(void))Need(lib, "PDUConnect");
  startCop = (StartCopFn)(void (*)(void))Need(lib, "PDUStartComPrimitive");
  destruct = (DestructFn)(void (*)(void))Need(lib, "PDUDestruct");

  Check("PDUConstruct", construct(options, NULL));
  Check("PDUGetObjectId", getObjectId(PDU_OBJT_RESOURCE, resourceName, &resource));
  Check("PDUCreateComLogicalLink", createLink(1, NULL, resource, NULL, &hCLL, NULL));
  if (strcmp(mode, "callback-destruct-freelibrary") == 0) {
    RegisterFn reg = (RegisterFn)(void (*)(void))Need(lib, "PDURegisterEventCallback");
    DWORD t0;
    int i;
    Check("PDURegisterEventCallback", reg(1, hCLL, DestructingCallback));
    Check("PDUConnect", connect(1, hCLL)); /* the link status reaches the callback */
    for (i = 0; i < 500 && (callbackStatus == -1 || callbackStatus == -2); ++i) Sleep(10);
    printf("callback destruct: 0x%lX\n", (unsigned long)callbackStatus);
    fflush(stdout);
    t0 = GetTickCount();
    FreeLibrary(lib);
    printf("FreeLibrary returned after %lu ms\n", (unsigned long)(GetTickCount() - t0));
    for (i = 0; i < 200 && GetModuleHandleA(path) != NULL; ++i) Sleep(10);
    printf("dll %s\n", GetModuleHandleA(path) == NULL ? "unloaded" : "still loaded");
    fflush(stdout);
    return callbackStatus == 0 && GetModuleHandleA(path) == NULL ? 0 : 1;
  }
  Check("PDUConnect", connect(1, hCLL));
  memset(&ctrl, 0, sizeof ctrl);
  ctrl.NumSendCycles = 1;
  ctrl.NumReceiveCycles = 1;
  Check("PDUStartComPrimitive", startCop(1, hCLL, PDU_COPT_SENDRECV, sizeof routine, routine, &ctrl, NULL, &hCoP));
  Sleep(100); /* the engine thread now waits for the routine's answer */
  if (strcmp(mode, "destruct-2") == 0) {
    HANDLE threads[2];
    int i, ok = 0;
    for (i = 0; i < 2; ++i) threads[i] = CreateThread(NULL, 0, DestructThread, &threadStatus[i], 0, NULL);
    WaitForMultipleObjects(2, threads, TRUE, INFINITE);
    for (i = 0; i < 2; ++i) {
      CloseHandle(threads[i]);
      if (threadStatus[i] == PDU_STATUS_NOERROR) ++ok;
      else if (threadStatus[i] != PDU_ERR_COMM_PC_TO_VCI_FAILED) ok = -9;
    }
    printf("destructs: %d ok\n", ok);
    fflush(stdout);
    return ok == 1 ? 0 : 1;
  }
  printf("exit_client: leaving without PDUDestruct\n");
  fflush(stdout);
  return 7;
}
