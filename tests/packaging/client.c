/* The smallest application of the installed library, built the way a user
 * builds one:  cc client.c $(pkg-config --cflags --libs pdu7318)
 *
 * Constructs the API, prints the module ids, the version data and the
 * battery voltage, and destructs it. Exit 0 only when every call returned
 * PDU_STATUS_NOERROR, the module is available (a VCI answered) and the
 * battery reading came back. */
#include <stdio.h>
#include <string.h>

#include <pdu_api.h>

static int Check(const char* call, T_PDU_ERROR status) {
  if (status == PDU_STATUS_NOERROR) return 1;
  fprintf(stderr, "client: %s failed: 0x%X\n", call, (unsigned)status);
  return 0;
}

int main(void) {
  CHAR8 options[] = "";
  PDU_MODULE_ITEM* modules = NULL;
  PDU_VERSION_DATA version;
  PDU_DATA_ITEM* reading = NULL;
  UNUM32 hMod = 1;
  UNUM32 vbattId = PDU_ID_UNDEF;
  CHAR8 vbattName[] = "PDU_IOCTL_READ_VBATT";
  int ok = 1;
  UNUM32 i;

  if (!Check("PDUConstruct", PDUConstruct(options, NULL))) return 1;

  ok &= Check("PDUGetModuleIds", PDUGetModuleIds(&modules));
  if (modules == NULL || modules->NumEntries == 0) {
    fprintf(stderr, "client: no module\n");
    ok = 0;
  } else {
    for (i = 0; i < modules->NumEntries; ++i) {
      const PDU_MODULE_DATA* m = &modules->pModuleData[i];
      printf("module hMod=%u type=%u status=0x%X\n  %s\n  %s\n", (unsigned)m->hMod, (unsigned)m->ModuleTypeId,
             (unsigned)m->ModuleStatus, m->pVendorModuleName ? m->pVendorModuleName : "",
             m->pVendorAdditionalInfo ? m->pVendorAdditionalInfo : "");
    }
    hMod = modules->pModuleData[0].hMod;
    if (modules->pModuleData[0].ModuleStatus != PDU_MODST_AVAIL) {
      fprintf(stderr, "client: the module is not available\n");
      ok = 0;
    }
    PDUDestroyItem((PDU_ITEM*)modules);
  }

  memset(&version, 0, sizeof version);
  if (Check("PDUGetVersion", PDUGetVersion(hMod, &version))) {
    printf("vendor %s, API %s %u.%u.%u\n", version.VendorName, version.PDUApiSwName,
           (unsigned)(version.PDUApiSwVersion >> 24), (unsigned)((version.PDUApiSwVersion >> 16) & 0xFF),
           (unsigned)((version.PDUApiSwVersion >> 8) & 0xFF));
  } else {
    ok = 0;
  }

  ok &= Check("PDUModuleConnect", PDUModuleConnect(hMod));
  ok &= Check("PDUGetObjectId", PDUGetObjectId(PDU_OBJT_IO_CTRL, vbattName, &vbattId));
  if (Check("PDUIoCtl", PDUIoCtl(hMod, PDU_HANDLE_UNDEF, vbattId, NULL, &reading)) && reading != NULL &&
      reading->ItemType == PDU_IT_IO_UNUM32 && reading->pData != NULL) {
    printf("battery %u mV\n", (unsigned)*(UNUM32*)reading->pData);
  } else {
    fprintf(stderr, "client: no battery reading\n");
    ok = 0;
  }
  if (reading != NULL) PDUDestroyItem((PDU_ITEM*)reading);
  ok &= Check("PDUModuleDisconnect", PDUModuleDisconnect(hMod));
  ok &= Check("PDUDestruct", PDUDestruct());
  return ok ? 0 : 1;
}
