/* A Windows application that ends without PDUDestruct while a ComPrimitive
 * is still running: the end-to-end run under Wine checks that the process
 * ends with the status it chose (7) instead of hanging or crashing inside
 * the library's teardown.
 *
 *   exit_client.exe [DLL]      (default: pdu7318.dll beside it)
 *
 * Loads the DLL, constructs, opens a UDS link on CAN, starts the routine
 * 31 01 02 03 (the demo car answers "response pending" for more than a
 * second) and returns 7 from main at once. */
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
  HMODULE lib = LoadLibraryA(argc > 1 ? argv[1] : "pdu7318.dll");
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

  Check("PDUConstruct", construct(options, NULL));
  Check("PDUGetObjectId", getObjectId(PDU_OBJT_RESOURCE, resourceName, &resource));
  Check("PDUCreateComLogicalLink", createLink(1, NULL, resource, NULL, &hCLL, NULL));
  Check("PDUConnect", connect(1, hCLL));
  memset(&ctrl, 0, sizeof ctrl);
  ctrl.NumSendCycles = 1;
  ctrl.NumReceiveCycles = 1;
  Check("PDUStartComPrimitive", startCop(1, hCLL, PDU_COPT_SENDRECV, sizeof routine, routine, &ctrl, NULL, &hCoP));
  Sleep(100); /* the engine thread now waits for the routine's answer */
  printf("exit_client: leaving without PDUDestruct\n");
  fflush(stdout);
  return 7;
}
