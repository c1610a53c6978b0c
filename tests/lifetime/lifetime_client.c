/* An application that uses the library the careless ways real ones do:
 * ends without PDUDestruct, unloads the library, calls back into it from a
 * callback, destructs from several threads or an atexit handler.
 *
 *   lifetime_client LIBRARY MODE
 *
 * lifetime.py's table has the modes, the exit status each chooses and the
 * text each prints. Built twice: dlopen'ing LIBRARY, and (LIFETIME_LINKED)
 * linked against the library, when "before dlopen" is "before construct".
 * Before it ends, it prints "exit at <CLOCK_MONOTONIC ns>" so that the
 * test can measure the exit alone. */
#include <pthread.h>
#include <unistd.h>

#include "pdu_client.h"

static struct PduEntryPoints pdu;
static _Atomic int callbackConstruct = -1; /* status PDUConstruct gave inside the callback */
static _Atomic int results = 0;             /* result items seen */
static int exitInCallback = 0;

static void PDU_CALL OnEvent(T_PDU_EVT_DATA event, UNUM32 hMod, UNUM32 hCLL, void* tag, void* api) {
  PDU_EVENT_ITEM* item = NULL;
  CHAR8 options[] = "";
  (void)event, (void)hMod, (void)tag, (void)api;
  if (exitInCallback) {
    PduExitStamp();
    exit(6);
  }
  if (callbackConstruct == -1) callbackConstruct = (int)pdu.Construct(options, NULL);
  while (pdu.GetEvent(1, hCLL, &item) == PDU_STATUS_NOERROR && item != NULL) {
    if (item->ItemType == PDU_IT_RESULT) ++results;
    pdu.DestroyItem((PDU_ITEM*)item);
    item = NULL;
  }
}

static void AtExitDestruct(void) {
  printf("atexit destruct: 0x%X\n", (unsigned)pdu.Destruct());
  fflush(stdout);
}

static void* DestructThread(void* arg) {
  *(T_PDU_ERROR*)arg = pdu.Destruct();
  return NULL;
}

/* A connected link, and (request != NULL) a SENDRECV of request on it. */
static UNUM32 Link(const char* request) {
  UNUM32 hCLL = PduOpenLink(pdu.GetObjectId, pdu.CreateLink, pdu.Connect, "RSC_ISO_15765_3_on_ISO_15765_2_6_14",
                            PduCheck);
  if (request != NULL) PduSend(pdu.StartCop, hCLL, request, 1);
  return hCLL;
}

/* Waits (up to 3 s) for the n-th result item. */
static void AwaitResults(int n) {
  int i;
  for (i = 0; i < 300 && results < n; ++i) PduSleepUs(10000);
}

int main(int argc, char** argv) {
  CHAR8 options[] = "";
  const char *mode = argv[argc - 1], *vin = "22 F1 90";
  const char* silent = "22 F1 00"; /* the simulated ECU never answers it */
  void* lib = NULL;
  UNUM32 hCLL;

  if (argc != 3) {
    fprintf(stderr, "usage: lifetime_client LIBRARY MODE\n");
    return 2;
  }
  if (strcmp(mode, "atexit-before-dlopen") == 0) atexit(AtExitDestruct);
#ifdef LIFETIME_LINKED
#define PDU_ENTRY_LINK(field, type, name) pdu.field = (type)name;
  PDU_ENTRY_POINTS(PDU_ENTRY_LINK)
  (void)lib;
#else
  lib = PduLoad(argv[1], &pdu);
#endif
  if (strcmp(mode, "atexit-before-construct") == 0) atexit(AtExitDestruct);
  PduCheck("PDUConstruct", pdu.Construct(options, NULL));
  if (strcmp(mode, "atexit-after-construct") == 0) atexit(AtExitDestruct);

  if (strcmp(mode, "inflight") == 0 || strncmp(mode, "destruct-", 9) == 0) {
    Link(silent);
    PduSleepUs(150000); /* the engine now waits for an answer that never comes */
  } else if (strcmp(mode, "link") == 0 || strncmp(mode, "atexit-", 7) == 0) {
    Link(NULL);
  }
  if (strcmp(mode, "destruct-2") == 0 || strcmp(mode, "destruct-8") == 0) {
    pthread_t threads[8];
    T_PDU_ERROR status[8];
    int i, n = mode[9] - '0', ok = 0, other = 0;
    for (i = 0; i < n; ++i) pthread_create(&threads[i], NULL, DestructThread, &status[i]);
    for (i = 0; i < n; ++i) pthread_join(threads[i], NULL);
    for (i = 0; i < n; ++i) ok += status[i] == 0x00, other += status[i] != 0x00 && status[i] != 0x11;
    printf("destructs: %d ok\n", other ? -1 : ok);
    PduExitStamp();
    return ok >= 1 && !other ? 0 : 1;
  }
  /* The modes that end with the module constructed, each its own way. */
  if (strcmp(mode, "idle") == 0 || strcmp(mode, "link") == 0 || strcmp(mode, "inflight") == 0 ||
      strncmp(mode, "atexit-", 7) == 0) {
    PduExitStamp();
    if (strcmp(mode, "link") == 0) exit(5);
    return strcmp(mode, "idle") == 0 ? 7 : strcmp(mode, "inflight") == 0 ? 9 : 3;
  }
  if (strncmp(mode, "dlclose-", 8) == 0) {
    const int destructed = strcmp(mode, "dlclose-destructed") == 0;
    Link(destructed ? NULL : vin);
    if (destructed) PduCheck("PDUDestruct", pdu.Destruct());
#ifndef LIFETIME_LINKED
    PduUnload(lib, argv[1], "after dlclose: library");
#endif
    PduSleepUs(destructed ? 200000 : 500000); /* the engine and receive threads go on meanwhile */
    printf("alive\n");
    PduExitStamp();
    return 0;
  }
  if (strcmp(mode, "construct-in-callback") == 0 || strcmp(mode, "exit-in-callback") == 0) {
    exitInCallback = mode[0] == 'e';
    hCLL = Link(NULL);
    PduCheck("PDURegisterEventCallback", pdu.Register(1, hCLL, OnEvent));
    PduSend(pdu.StartCop, hCLL, vin, 1);
    if (exitInCallback) {
      PduSleepUs(5000000);
      return 1; /* the callback ends the process before this */
    }
    AwaitResults(1);
    printf("construct in callback: 0x%X\n", (unsigned)callbackConstruct);
    /* The session goes on: a second exchange gets its answer. */
    PduSend(pdu.StartCop, hCLL, vin, 1);
    AwaitResults(2);
    printf("results: %d\n", results);
    PduCheck("PDUDestruct", pdu.Destruct());
    PduExitStamp();
    return callbackConstruct == 0x01 && results == 2 ? 0 : 1;
  }
  fprintf(stderr, "client: unknown mode %s\n", mode);
  return 2;
}
