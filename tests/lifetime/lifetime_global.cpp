// A C++ application that owns the API in a global object, as many do: the
// object's destructor calls PDUDestruct after main has returned, when the
// C++ exit sequence is already destroying static objects (the library's
// among them, for a library loaded after the object was made).
//
//   lifetime_global LIBRARY MODE
//
// MODE "global": construct, open a connected link, return 4 from main; the
// destructor prints "global destruct: 0x<status>". Built dlopen'ing
// LIBRARY and (LIFETIME_LINKED) linked against the library.
#include <cstring>

#include "pdu_client.h"

namespace {

// Made before main (and so before the library is loaded); destroyed after.
struct Session {
  ~Session() {
    if (pdu.Destruct == nullptr) return;
    printf("global destruct: 0x%X\n", static_cast<unsigned>(pdu.Destruct()));
    fflush(stdout);
  }
  PduEntryPoints pdu{};
} g_session;

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3 || strcmp(argv[2], "global") != 0) {
    fprintf(stderr, "usage: lifetime_global LIBRARY global\n");
    return 2;
  }
  PduEntryPoints& pdu = g_session.pdu;
#ifdef LIFETIME_LINKED
#define PDU_ENTRY_LINK(field, type, name) pdu.field = name;
  PDU_ENTRY_POINTS(PDU_ENTRY_LINK)
#else
  PduLoad(argv[1], &pdu);
#endif
  CHAR8 options[] = "";
  PduCheck("PDUConstruct", pdu.Construct(options, nullptr));
  PduOpenLink(pdu.GetObjectId, pdu.CreateLink, pdu.Connect, "RSC_ISO_15765_3_on_ISO_15765_2_6_14", PduCheck);
  PduExitStamp();
  return 4;
}
