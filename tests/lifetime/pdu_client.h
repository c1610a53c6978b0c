/* What the test applications at the module's edges share (the lifetime
 * clients, the stress run's client, the Windows exit client): the entry
 * points' types, as an application resolves them from the loaded library,
 * and the one way they open a link. */
#ifndef PDU_CLIENT_H
#define PDU_CLIENT_H

#include <stdio.h>
#ifndef _WIN32
#include <dlfcn.h>
#include <stdlib.h>
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

/* The entry points a client resolves from the library. */
struct PduEntryPoints {
  ConstructFn Construct;
  DestructFn Destruct;
  GetObjectIdFn GetObjectId;
  CreateLinkFn CreateLink;
  ConnectFn Connect;
  StartCopFn StartCop;
  RegisterFn Register;
  GetEventFn GetEvent;
  DestroyItemFn DestroyItem;
  IoCtlFn IoCtl;
  TimestampFn Timestamp;
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
#endif

#endif
