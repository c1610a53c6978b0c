/* What the test applications at the module's edges share (the lifetime
 * clients, the stress run's client, the Windows exit client): the entry
 * points' types, as an application resolves them from the loaded library,
 * the one way they open a link and (POSIX) the loading, timing and output
 * helpers. */
#ifndef PDU_CLIENT_H
#define PDU_CLIENT_H

#include <stdio.h>
#ifndef _WIN32
#include <dlfcn.h>
#include <stdarg.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#endif

#include "pdu_api.h"

typedef T_PDU_ERROR(PDU_CALL* ConstructFn)(CHAR8*, void*);
typedef T_PDU_ERROR(PDU_CALL* DestructFn)(void);
typedef T_PDU_ERROR(PDU_CALL* GetObjectIdFn)(T_PDU_OBJT, CHAR8*, UNUM32*);
typedef T_PDU_ERROR(PDU_CALL* CreateLinkFn)(UNUM32, PDU_RSC_DATA*, UNUM32, void*, UNUM32*, PDU_FLAG_DATA*);
typedef T_PDU_ERROR(PDU_CALL* ConnectFn)(UNUM32, UNUM32);
typedef T_PDU_ERROR(PDU_CALL* StartCopFn)(UNUM32, UNUM32, T_PDU_COPT, UNUM32, UNUM8*, PDU_COP_CTRL_DATA*, void*,
                                          UNUM32*);
typedef T_PDU_ERROR(PDU_CALL* RegisterFn)(UNUM32, UNUM32, CALLBACKFNC);
typedef T_PDU_ERROR(PDU_CALL* GetEventFn)(UNUM32, UNUM32, PDU_EVENT_ITEM**);
typedef T_PDU_ERROR(PDU_CALL* DestroyItemFn)(PDU_ITEM*);
typedef T_PDU_ERROR(PDU_CALL* IoCtlFn)(UNUM32, UNUM32, UNUM32, PDU_DATA_ITEM*, PDU_DATA_ITEM**);
typedef T_PDU_ERROR(PDU_CALL* TimestampFn)(UNUM32, UNUM32*);

/* The entry points a client resolves from the library: field, type, name. */
#define PDU_ENTRY_POINTS(X)                                                                                     \
  X(Construct, ConstructFn, PDUConstruct) X(Destruct, DestructFn, PDUDestruct)                                  \
  X(GetObjectId, GetObjectIdFn, PDUGetObjectId) X(CreateLink, CreateLinkFn, PDUCreateComLogicalLink)            \
  X(Connect, ConnectFn, PDUConnect) X(StartCop, StartCopFn, PDUStartComPrimitive)                               \
  X(Register, RegisterFn, PDURegisterEventCallback) X(GetEvent, GetEventFn, PDUGetEventItem)                    \
  X(DestroyItem, DestroyItemFn, PDUDestroyItem) X(IoCtl, IoCtlFn, PDUIoCtl) X(Timestamp, TimestampFn, PDUGetTimestamp)
#define PDU_ENTRY_FIELD(field, type, name) type field;
struct PduEntryPoints {
  PDU_ENTRY_POINTS(PDU_ENTRY_FIELD)
};

/* The resource by name, a ComLogicalLink on it, connected; every step
 * through check, which ends the program on a failure. */
static inline UNUM32 PduOpenLink(GetObjectIdFn getObjectId, CreateLinkFn createLink, ConnectFn connect,
                                 const char* resourceName, void (*check)(const char*, T_PDU_ERROR)) {
  CHAR8 name[64];
  UNUM32 resource = 0, hCLL = 0;
  snprintf(name, sizeof name, "%s", resourceName);
  check("PDUGetObjectId", getObjectId(PDU_OBJT_RESOURCE, name, &resource));
  check("PDUCreateComLogicalLink", createLink(1, NULL, resource, NULL, &hCLL, NULL));
  check("PDUConnect", connect(1, hCLL));
  return hCLL;
}

#ifndef _WIN32
/* A failed step: what failed, exit status 91. */
static inline void PduCheck(const char* what, T_PDU_ERROR status) {
  if (status == PDU_STATUS_NOERROR) return;
  fprintf(stderr, "client: %s failed: 0x%X\n", what, (unsigned)status);
  exit(91);
}

/* An entry point of the dlopen'd library; the program ends (90) without
 * it. */
static inline void* PduNeed(void* lib, const char* name) {
  void* f = dlsym(lib, name);
  if (f == NULL) {
    fprintf(stderr, "client: no %s\n", name);
    exit(90);
  }
  return f;
}

/* dlopen (the program ends, 92, when it fails) and every entry point. A
 * pointer is written only when it changes: a library that stayed loaded
 * (dlclose of a constructed module) gives the same addresses, and its
 * engine thread may be reading them meanwhile in a callback. */
static inline void* PduLoad(const char* path, struct PduEntryPoints* pdu) {
  void* lib = dlopen(path, RTLD_NOW | RTLD_LOCAL);
  if (lib == NULL) {
    fprintf(stderr, "client: %s\n", dlerror());
    exit(92);
  }
#define PDU_ENTRY_RESOLVE(field, type, name)   \
  {                                            \
    type fn_ = (type)PduNeed(lib, #name);      \
    if (pdu->field != fn_) pdu->field = fn_;   \
  }
  PDU_ENTRY_POINTS(PDU_ENTRY_RESOLVE)
  return lib;
}

/* dlclose, then says whether the library is still mapped: a constructed
 * module keeps itself loaded (its threads run its code) until PDUDestruct. */
static inline void PduUnload(void* lib, const char* path, const char* label) {
  void* again;
  if (dlclose(lib) != 0) PduCheck("dlclose", 0xFFFF);
  again = dlopen(path, RTLD_NOW | RTLD_NOLOAD);
  printf("%s %s\n", label, again != NULL ? "still loaded" : "unloaded");
  fflush(stdout);
  if (again != NULL) dlclose(again);
}

static inline long long PduNowNs(void) {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return (long long)ts.tv_sec * 1000000000LL + ts.tv_nsec;
}

static inline void PduSleepUs(long us) {
  struct timespec ts = {us / 1000000, (us % 1000000) * 1000L};
  while (nanosleep(&ts, &ts) != 0) {
  }
}

/* The last line before the program ends: the tests time the exit from it. */
static inline void PduExitStamp(void) {
  printf("exit at %lld\n", PduNowNs());
  fflush(stdout);
}

/* One line, written whole (threads print at once). */
__attribute__((format(printf, 1, 2))) static inline void PduSay(const char* fmt, ...) {
  char line[256];
  va_list ap;
  va_start(ap, fmt);
  vsnprintf(line, sizeof line - 1, fmt, ap);
  va_end(ap);
  strcat(line, "\n");
  fputs(line, stdout);
  fflush(stdout);
}

#ifndef __cplusplus /* C11 atomics */
/* Waits (bounded by 5 s) until *flag is set: for a step that does happen. */
static inline void PduAwait(_Atomic int* flag, const char* what) {
  long long end = PduNowNs() + 5000000000LL;
  while (!*flag) {
    if (PduNowNs() > end) {
      fprintf(stderr, "client: no %s within 5 s\n", what);
      exit(94);
    }
    PduSleepUs(200);
  }
}
#endif

/* A SENDRECV of the bytes written in hex ("22 F1 90") on hCLL. */
static inline void PduSend(StartCopFn startCop, UNUM32 hCLL, const char* hex, SNUM32 receiveCycles) {
  UNUM8 data[16];
  UNUM32 len = 0, hCoP = 0;
  unsigned byte;
  int used;
  PDU_COP_CTRL_DATA ctrl;
  while (len < sizeof data && sscanf(hex, " %2x%n", &byte, &used) == 1) {
    data[len++] = (UNUM8)byte;
    hex += used;
  }
  memset(&ctrl, 0, sizeof ctrl);
  ctrl.NumSendCycles = 1;
  ctrl.NumReceiveCycles = receiveCycles;
  PduCheck("PDUStartComPrimitive", startCop(1, hCLL, PDU_COPT_SENDRECV, len, data, &ctrl, NULL, &hCoP));
}
#endif

#endif
