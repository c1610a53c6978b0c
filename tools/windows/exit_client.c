/* A Windows application at the edges of the module's lifetime: the
 * end-to-end run under Wine runs its named cases, the Windows stress run
 * (stress_wine.py) draws random ones.
 *
 *   exit_client.exe DLL [MODE] [status=N] [delay=MS] [load=idle|pending] [k=N]
 *
 * Every mode but "box" loads the DLL, constructs, opens a UDS link on CAN
 * with an event callback and asks 22 F1 90 (printing "vin ok" when the
 * ECU's answer came: the run before left the VCI usable). load=pending
 * then starts 31 01 02 03, which the ECU answers "response pending" for
 * more than a second, so the engine thread waits for the VCI. The mode acts
 * delay ms later:
 *   exit (default)  returns status from main without PDUDestruct: the
 *                   process must end with it, not hang or crash in the
 *                   detach, and send no CLOSE;
 *   freelibrary     FreeLibrary without PDUDestruct: returns at once, the
 *                   DLL stays loaded (its pin), the process ends as "exit";
 *   destruct-freelibrary  PDUDestruct, then FreeLibrary: the DLL unloads;
 *   callback-destruct-freelibrary  the next event callback calls
 *                   PDUDestruct; right after it returned the application
 *                   calls FreeLibrary: that must return at once (no join
 *                   under the loader lock) and the DLL must be unloaded
 *                   within 2 s (the engine thread gives back the library's
 *                   reference as its last act);
 *   destruct        k threads (default 2) call PDUDestruct at once: prints
 *                   "destructs: <n> ok" (one 0x0, the others 0x11);
 *   exit-during-destruct  a thread calls PDUDestruct and main returns
 *                   status delay ms later, whatever that thread is doing;
 *   box             (no VCI to find) PDUConstruct on a thread shows the
 *                   "device not found" box; while it is up, PDUGetTimestamp
 *                   and the battery-voltage PDUIoCtl from the main thread
 *                   must answer at once (0x0; 0x01, as without a VCI);
 *                   then the box is closed and PDUConstruct returns 0;
 *   hold            (no VCI needed) only loads the DLL, prints "holding"
 *                   and keeps it loaded until its standard input ends: a
 *                   diagnostic application in the setup program's way.
 * Output: "call WHAT 0xSTATUS MS" for every timed call, "dll unloaded" or
 * "dll still loaded", and "exit at" just before main returns. A failed
 * step exits 91 after saying what failed. */
#include <windows.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "pdu_client.h"

static const char* dllPath;
static HMODULE lib;
static struct PduEntryPoints pdu;

static int optStatus = 0, optDelay = 0, optK = 2;
static const char* optLoad = "idle";
static UNUM32 mainLink;
static volatile LONG vinAnswers, armed, callbackStatus = -1;
static T_PDU_ERROR threadStatus[8];

static FARPROC Need(const char* name) {
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

static double NowMs(void) {
  LARGE_INTEGER now, freq;
  QueryPerformanceCounter(&now);
  QueryPerformanceFrequency(&freq);
  return (double)now.QuadPart * 1000.0 / (double)freq.QuadPart;
}

static void Say(const char* what, T_PDU_ERROR status, double since) {
  printf("call %s 0x%X %.1f\n", what, (unsigned)status, NowMs() - since);
  fflush(stdout);
}

static T_PDU_ERROR TimedDestruct(const char* what) {
  double t0 = NowMs();
  T_PDU_ERROR st = pdu.Destruct();
  Say(what, st, t0);
  return st;
}

static void Send(const UNUM8* request, UNUM32 len) {
  UNUM8 data[8];
  UNUM32 hCoP = 0;
  PDU_COP_CTRL_DATA ctrl;
  memcpy(data, request, len);
  memset(&ctrl, 0, sizeof ctrl);
  ctrl.NumSendCycles = 1;
  ctrl.NumReceiveCycles = 1;
  Check("PDUStartComPrimitive", pdu.StartCop(1, mainLink, PDU_COPT_SENDRECV, len, data, &ctrl, NULL, &hCoP));
}

/* Takes every event of the link (an application with a callback must:
 * the engine drops events it would have called back for) and counts the
 * ECU's answers to 22 F1 90: 62 F1 90 and the VIN. Armed, the first call
 * after arming destructs. */
static void PDU_CALL OnEvent(T_PDU_EVT_DATA event, UNUM32 hMod, UNUM32 hCLL, void* tag, void* api) {
  PDU_EVENT_ITEM* item = NULL;
  (void)event, (void)hMod, (void)tag, (void)api;
  while (pdu.GetEvent(1, hCLL, &item) == PDU_STATUS_NOERROR && item != NULL) {
    if (item->ItemType == PDU_IT_RESULT) {
      const PDU_RESULT_DATA* r = (const PDU_RESULT_DATA*)item->pData;
      if (r->NumDataBytes > 3 && memcmp(r->pDataBytes, "\x62\xF1\x90", 3) == 0) InterlockedIncrement(&vinAnswers);
    }
    pdu.DestroyItem((PDU_ITEM*)item);
    item = NULL;
  }
  if (armed && InterlockedCompareExchange(&armed, 0, 1) == 1) {
    InterlockedExchange(&callbackStatus, (LONG)TimedDestruct("callback-destruct"));
  }
}

static void AskVin(void) {
  static const UNUM8 vin[] = {0x22, 0xF1, 0x90};
  int i;
  Send(vin, sizeof vin);
  for (i = 0; i < 300 && vinAnswers == 0; ++i) Sleep(10);
  if (vinAnswers == 0) Check("22 F1 90 (no answer within 3 s)", 0xFFFF);
  printf("vin ok\n");
}

static DWORD WINAPI DestructThread(LPVOID arg) {
  *(T_PDU_ERROR*)arg = TimedDestruct("destruct");
  return 0;
}

static DWORD WINAPI ConstructThread(LPVOID arg) {
  CHAR8 options[] = "";
  double t0 = NowMs();
  *(T_PDU_ERROR*)arg = pdu.Construct(options, NULL);
  Say("construct", *(T_PDU_ERROR*)arg, t0);
  return 0;
}

/* The message box: the thread's dialog window. Wine may give the thread
   another top-level window first (the input method's), which ignores IDOK. */
static BOOL CALLBACK DialogWindow(HWND hwnd, LPARAM found) {
  char cls[16];
  if (GetClassNameA(hwnd, cls, sizeof cls) == 0 || strcmp(cls, "#32770") != 0) return TRUE;
  *(HWND*)found = hwnd;
  return FALSE;
}

/* Frees the DLL, timed, and says whether it is gone within 2 s. */
static int FreeAndLook(void) {
  double t0 = NowMs();
  int i;
  FreeLibrary(lib);
  Say("freelibrary", 0, t0);
  for (i = 0; i < 200 && GetModuleHandleA(dllPath) != NULL; ++i) Sleep(10);
  printf("dll %s\n", GetModuleHandleA(dllPath) == NULL ? "unloaded" : "still loaded");
  return GetModuleHandleA(dllPath) == NULL;
}

static int Box(void) {
  T_PDU_ERROR constructed = 0xFFFF, st;
  UNUM32 now = 0;
  PDU_DATA_ITEM* out = NULL;
  CHAR8 vbatt[] = "PDU_IOCTL_READ_VBATT";
  UNUM32 id = 0;
  HWND box = NULL;
  DWORD tid;
  double t0;
  int i;
  HANDLE t = CreateThread(NULL, 0, ConstructThread, &constructed, 0, &tid);
  for (i = 0; i < 3000 && box == NULL; ++i) {
    Sleep(10);
    EnumThreadWindows(tid, DialogWindow, (LPARAM)&box);
  }
  if (box == NULL) Check("the device-not-found box (not shown within 30 s)", 0xFFFF);
  printf("box up\n");
  t0 = NowMs();
  st = pdu.Timestamp(1, &now);
  Say("timestamp", st, t0);
  Check("PDUGetObjectId", pdu.GetObjectId(PDU_OBJT_IO_CTRL, vbatt, &id));
  t0 = NowMs();
  st = pdu.IoCtl(1, PDU_ID_UNDEF, id, NULL, &out);
  Say("ioctl", st, t0);
  printf("box still up: %s\n", IsWindow(box) ? "yes" : "no");
  /* OK, again every 100 ms until the construction returns (at most 10 s):
     a press posted before the box runs its message loop may be lost. */
  for (i = 0; i < 100; ++i) {
    PostMessageA(box, WM_COMMAND, IDOK, 0);
    if (WaitForSingleObject(t, 100) == WAIT_OBJECT_0) break;
  }
  WaitForSingleObject(t, INFINITE);
  CloseHandle(t);
  return constructed == PDU_STATUS_NOERROR ? optStatus : 1;
}

int main(int argc, char** argv) {
  const char* mode = argc > 2 ? argv[2] : "exit";
  CHAR8 options[] = "";
  int i;
  dllPath = argc > 1 ? argv[1] : "pdu7318.dll";
  for (i = 3; i < argc; ++i) {
    if (strncmp(argv[i], "status=", 7) == 0) optStatus = atoi(argv[i] + 7);
    else if (strncmp(argv[i], "delay=", 6) == 0) optDelay = atoi(argv[i] + 6);
    else if (strncmp(argv[i], "k=", 2) == 0) optK = atoi(argv[i] + 2);
    else if (strncmp(argv[i], "load=", 5) == 0) optLoad = argv[i] + 5;
  }
  if (optK < 1 || optK > 8) optK = 2;
  lib = LoadLibraryA(dllPath);
  if (lib == NULL) {
    fprintf(stderr, "exit_client: cannot load the library (error %lu)\n", (unsigned long)GetLastError());
    return 92;
  }
  if (strcmp(mode, "hold") == 0) {
    printf("holding\n");
    fflush(stdout);
    while (getchar() != EOF) {
    }
    FreeLibrary(lib);
    return 0;
  }
  /* GetProcAddress gives a FARPROC; going through a plain function pointer
   * keeps the cast to the real type free of a cast-function-type warning. */
  pdu.Construct = (ConstructFn)(void (*)(void))Need("PDUConstruct");
  pdu.Destruct = (DestructFn)(void (*)(void))Need("PDUDestruct");
  pdu.GetObjectId = (GetObjectIdFn)(void (*)(void))Need("PDUGetObjectId");
  pdu.CreateLink = (CreateLinkFn)(void (*)(void))Need("PDUCreateComLogicalLink");
  pdu.Connect = (ConnectFn)(void (*)(void))Need("PDUConnect");
  pdu.StartCop = (StartCopFn)(void (*)(void))Need("PDUStartComPrimitive");
  pdu.Register = (RegisterFn)(void (*)(void))Need("PDURegisterEventCallback");
  pdu.GetEvent = (GetEventFn)(void (*)(void))Need("PDUGetEventItem");
  pdu.DestroyItem = (DestroyItemFn)(void (*)(void))Need("PDUDestroyItem");
  pdu.IoCtl = (IoCtlFn)(void (*)(void))Need("PDUIoCtl");
  pdu.Timestamp = (TimestampFn)(void (*)(void))Need("PDUGetTimestamp");
  if (strcmp(mode, "box") == 0) {
    int status = Box();
    printf("exit at\n");
    fflush(stdout);
    return status;
  }

  Check("PDUConstruct", pdu.Construct(options, NULL));
  mainLink =
      PduOpenLink(pdu.GetObjectId, pdu.CreateLink, pdu.Connect, "RSC_ISO_15765_3_on_ISO_15765_2_6_14", Check);
  Check("PDURegisterEventCallback", pdu.Register(1, mainLink, OnEvent));
  AskVin();
  if (strcmp(optLoad, "pending") == 0) {
    static const UNUM8 routine[] = {0x31, 0x01, 0x02, 0x03};
    Send(routine, sizeof routine);
    Sleep(100); /* the engine thread now waits for the routine's answer */
  }
  /* exit-during-destruct waits after its PDUDestruct began, the others
   * before they act. */
  if (strcmp(mode, "exit-during-destruct") != 0) Sleep((DWORD)optDelay);

  if (strcmp(mode, "freelibrary") == 0) {
    FreeAndLook();
  } else if (strcmp(mode, "destruct-freelibrary") == 0) {
    if (TimedDestruct("destruct") != PDU_STATUS_NOERROR || !FreeAndLook()) optStatus = 1;
  } else if (strcmp(mode, "callback-destruct-freelibrary") == 0) {
    static const UNUM8 vin[] = {0x22, 0xF1, 0x90};
    InterlockedExchange(&armed, 1);
    if (strcmp(optLoad, "pending") != 0) Send(vin, sizeof vin); /* an event to call back with */
    for (i = 0; i < 500 && callbackStatus == -1; ++i) Sleep(10);
    if (callbackStatus != 0 || !FreeAndLook()) optStatus = 1;
  } else if (strcmp(mode, "destruct") == 0) {
    HANDLE threads[8];
    int ok = 0;
    for (i = 0; i < optK; ++i) threads[i] = CreateThread(NULL, 0, DestructThread, &threadStatus[i], 0, NULL);
    WaitForMultipleObjects((DWORD)optK, threads, TRUE, INFINITE);
    for (i = 0; i < optK; ++i) {
      CloseHandle(threads[i]);
      if (threadStatus[i] == PDU_STATUS_NOERROR) ++ok;
      else if (threadStatus[i] != PDU_ERR_COMM_PC_TO_VCI_FAILED) ok = -9;
    }
    printf("destructs: %d ok\n", ok);
    if (ok != 1) optStatus = 1;
  } else if (strcmp(mode, "exit-during-destruct") == 0) {
    CloseHandle(CreateThread(NULL, 0, DestructThread, &threadStatus[0], 0, NULL));
    Sleep((DWORD)optDelay);
  } else if (strcmp(mode, "exit") != 0) {
    fprintf(stderr, "exit_client: unknown mode %s\n", mode);
    return 93;
  }
  printf("exit at\n");
  fflush(stdout);
  return optStatus;
}
