/* An application that uses the library the careless ways real ones do:
 * ends without PDUDestruct, unloads the library, calls back into it from a
 * callback. The lifetime tests (lifetime.py) run it as a child process and
 * check its exit status and how long its exit took.
 *
 *   lifetime_client LIBRARY MODE
 *
 * Modes (the exit status each one chooses is in the table of lifetime.py):
 *   idle                 construct, return from main
 *   link                 construct, a connected link, exit()
 *   inflight             a SENDRECV that waits for an answer, return
 *   dlclose-destructed   construct, destruct, dlclose, go on running
 *   dlclose-constructed  construct with a connected link, dlclose, go on
 *                        running while the library's threads still run
 *   construct-in-callback  PDUConstruct from a callback must fail with 0x01
 *                        and the session must go on working
 *   exit-in-callback     exit() from inside a callback
 *   destruct-2, destruct-8  that many threads call PDUDestruct at once while
 *                        a SENDRECV waits for its answer; prints
 *                        "destructs: <n> ok" (n returned 0x00, the others 0x11)
 *   atexit-before-dlopen, atexit-before-construct, atexit-after-construct
 *                        PDUDestruct in an atexit handler registered at that
 *                        point, a connected link open when main returns;
 *                        the handler prints "atexit destruct: 0x<status>"
 *
 * Built twice: dlopen'ing LIBRARY, and (LIFETIME_LINKED) linked against the
 * library, when LIBRARY is not used and "before dlopen" is "before
 * construct".
 * Before it ends, it prints "exit at <CLOCK_MONOTONIC ns>" so that the test
 * can measure the exit alone. */
#include <dlfcn.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include "pdu_client.h"

#ifndef LIFETIME_LINKED
static void* lib;
static const char* loadedPath;
#endif
static struct PduEntryPoints pdu;

static _Atomic int callbackConstruct = -1; /* status PDUConstruct gave inside the callback */
static _Atomic int results = 0;             /* result items seen */
static int exitInCallback = 0;

#ifdef LIFETIME_LINKED
#define NEED(var, type, name) var = (type)name
#else
#define NEED(var, type, name) var = (type)PduNeed(lib, #name)
#endif

static void Check(const char* what, T_PDU_ERROR status) {
  if (status == PDU_STATUS_NOERROR) return;
  fprintf(stderr, "client: %s failed: 0x%X\n", what, (unsigned)status);
  exit(91);
}

static void ExitStamp(void) {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  printf("exit at %lld\n", (long long)ts.tv_sec * 1000000000LL + ts.tv_nsec);
  fflush(stdout);
}

static void SleepMs(int ms) {
  struct timespec ts = {ms / 1000, (long)(ms % 1000) * 1000000L};
  nanosleep(&ts, NULL);
}

static UNUM32 OpenLink(void) {
  return PduOpenLink(pdu.GetObjectId, pdu.CreateLink, pdu.Connect, "RSC_ISO_15765_3_on_ISO_15765_2_6_14", Check);
}

static void Send(UNUM32 hCLL, const UNUM8* req, UNUM32 len) {
  UNUM8 data[16];
  UNUM32 hCoP = 0;
  PDU_COP_CTRL_DATA ctrl;
  memset(&ctrl, 0, sizeof ctrl);
  ctrl.NumSendCycles = 1;
  ctrl.NumReceiveCycles = 1;
  memcpy(data, req, len);
  Check("PDUStartComPrimitive", pdu.StartCop(1, hCLL, PDU_COPT_SENDRECV, len, data, &ctrl, NULL, &hCoP));
}

static void DrainEvents(UNUM32 hCLL) {
  PDU_EVENT_ITEM* item = NULL;
  while (pdu.GetEvent(1, hCLL, &item) == PDU_STATUS_NOERROR && item != NULL) {
    if (item->ItemType == PDU_IT_RESULT) ++results;
    pdu.DestroyItem((PDU_ITEM*)item);
    item = NULL;
  }
}

static void PDU_CALL OnEvent(T_PDU_EVT_DATA event, UNUM32 hMod, UNUM32 hCLL, void* tag, void* api) {
  (void)event, (void)hMod, (void)tag, (void)api;
  if (exitInCallback) {
    ExitStamp();
    exit(6);
  }
  if (callbackConstruct == -1) {
    CHAR8 options[] = "";
    callbackConstruct = (int)pdu.Construct(options, NULL);
  }
  DrainEvents(hCLL);
}

static void AtExitDestruct(void) {
  printf("atexit destruct: 0x%X\n", (unsigned)pdu.Destruct());
  fflush(stdout);
}

static void* DestructThread(void* arg) {
  *(T_PDU_ERROR*)arg = pdu.Destruct();
  return NULL;
}

/* n threads destruct at once; returns how many got 0x00 (-1: another status). */
static int ConcurrentDestructs(int n) {
  pthread_t threads[8];
  T_PDU_ERROR status[8];
  int i, ok = 0;
  for (i = 0; i < n; ++i) pthread_create(&threads[i], NULL, DestructThread, &status[i]);
  for (i = 0; i < n; ++i) pthread_join(threads[i], NULL);
  for (i = 0; i < n; ++i) {
    if (status[i] == PDU_STATUS_NOERROR) {
      ++ok;
    } else if (status[i] != PDU_ERR_COMM_PC_TO_VCI_FAILED) {
      return -1;
    }
  }
  return ok;
}

static void Load(const char* path) {
#ifdef LIFETIME_LINKED
  (void)path;
#else
  loadedPath = path;
  lib = dlopen(path, RTLD_NOW | RTLD_LOCAL);
  if (lib == NULL) {
    fprintf(stderr, "client: %s\n", dlerror());
    exit(92);
  }
#endif
  NEED(pdu.Construct, ConstructFn, PDUConstruct);
  NEED(pdu.Destruct, DestructFn, PDUDestruct);
  NEED(pdu.GetObjectId, GetObjectIdFn, PDUGetObjectId);
  NEED(pdu.CreateLink, CreateLinkFn, PDUCreateComLogicalLink);
  NEED(pdu.Connect, ConnectFn, PDUConnect);
  NEED(pdu.StartCop, StartCopFn, PDUStartComPrimitive);
  NEED(pdu.Register, RegisterFn, PDURegisterEventCallback);
  NEED(pdu.GetEvent, GetEventFn, PDUGetEventItem);
  NEED(pdu.DestroyItem, DestroyItemFn, PDUDestroyItem);
}

/* dlclose, then whether the library is still mapped: a constructed module
 * keeps itself loaded (its threads run its code) until PDUDestruct. */
static int Unload(void) {
#ifdef LIFETIME_LINKED
  return 0;
#else
  void* again;
  if (dlclose(lib) != 0) return -1;
  again = dlopen(loadedPath, RTLD_NOW | RTLD_NOLOAD);
  printf("after dlclose: library %s\n", again != NULL ? "still loaded" : "unloaded");
  if (again != NULL) dlclose(again);
  return 0;
#endif
}

int main(int argc, char** argv) {
  CHAR8 options[] = "";
  const UNUM8 vin[] = {0x22, 0xF1, 0x90};
  const UNUM8 silent[] = {0x22, 0xF1, 0x00};
  const char* mode;
  UNUM32 hCLL;
  int i;

  if (argc != 3) {
    fprintf(stderr, "usage: lifetime_client LIBRARY MODE\n");
    return 2;
  }
  mode = argv[2];
  if (strcmp(mode, "atexit-before-dlopen") == 0) atexit(AtExitDestruct);
  Load(argv[1]);
  if (strcmp(mode, "atexit-before-construct") == 0) atexit(AtExitDestruct);

  Check("PDUConstruct", pdu.Construct(options, NULL));

  if (strcmp(mode, "atexit-after-construct") == 0) atexit(AtExitDestruct);
  if (strncmp(mode, "atexit-", 7) == 0) {
    OpenLink();
    ExitStamp();
    return 3;
  }
  if (strcmp(mode, "destruct-2") == 0 || strcmp(mode, "destruct-8") == 0) {
    int ok;
    hCLL = OpenLink();
    Send(hCLL, silent, sizeof silent);
    SleepMs(150); /* the engine now waits for an answer that never comes */
    ok = ConcurrentDestructs(mode[9] - '0');
    printf("destructs: %d ok\n", ok);
    ExitStamp();
    return ok >= 1 ? 0 : 1;
  }
  if (strcmp(mode, "idle") == 0) {
    ExitStamp();
    return 7;
  }
  if (strcmp(mode, "link") == 0) {
    OpenLink();
    ExitStamp();
    exit(5);
  }
  if (strcmp(mode, "inflight") == 0) {
    hCLL = OpenLink();
    Send(hCLL, silent, sizeof silent);
    SleepMs(150); /* the engine now waits for an answer that never comes */
    ExitStamp();
    return 9;
  }
  if (strcmp(mode, "dlclose-destructed") == 0) {
    OpenLink();
    Check("PDUDestruct", pdu.Destruct());
    if (Unload() != 0) return 93;
    SleepMs(200);
    printf("alive\n");
    ExitStamp();
    return 0;
  }
  if (strcmp(mode, "dlclose-constructed") == 0) {
    hCLL = OpenLink();
    Send(hCLL, vin, sizeof vin);
    if (Unload() != 0) return 93;
    SleepMs(500); /* the engine and receive threads go on meanwhile */
    printf("alive\n");
    ExitStamp();
    return 0;
  }
  if (strcmp(mode, "construct-in-callback") == 0) {
    hCLL = OpenLink();
    Check("PDURegisterEventCallback", pdu.Register(1, hCLL, OnEvent));
    Send(hCLL, vin, sizeof vin);
    for (i = 0; i < 300 && results < 1; ++i) SleepMs(10);
    printf("construct in callback: 0x%X\n", (unsigned)callbackConstruct);
    /* The session goes on: a second exchange gets its answer. */
    Send(hCLL, vin, sizeof vin);
    for (i = 0; i < 300 && results < 2; ++i) SleepMs(10);
    printf("results: %d\n", results);
    Check("PDUDestruct", pdu.Destruct());
    ExitStamp();
    return callbackConstruct == 0x01 && results == 2 ? 0 : 1;
  }
  if (strcmp(mode, "exit-in-callback") == 0) {
    hCLL = OpenLink();
    exitInCallback = 1;
    Check("PDURegisterEventCallback", pdu.Register(1, hCLL, OnEvent));
    Send(hCLL, vin, sizeof vin);
    SleepMs(5000);
    return 1; /* the callback ends the process before this */
  }
  fprintf(stderr, "client: unknown mode %s\n", mode);
  return 2;
}
