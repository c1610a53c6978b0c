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
#include <dlfcn.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "pdu_api.h"

namespace {

using ConstructFn = T_PDU_ERROR (*)(CHAR8*, void*);
using DestructFn = T_PDU_ERROR (*)();
using GetObjectIdFn = T_PDU_ERROR (*)(T_PDU_OBJT, CHAR8*, UNUM32*);
using CreateLinkFn = T_PDU_ERROR (*)(UNUM32, PDU_RSC_DATA*, UNUM32, void*, UNUM32*, PDU_FLAG_DATA*);
using ConnectFn = T_PDU_ERROR (*)(UNUM32, UNUM32);

// Made before main (and so before the library is loaded); destroyed after.
class Session {
 public:
  Session() = default;
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;
  ~Session() {
    if (destruct == nullptr) return;
    std::printf("global destruct: 0x%X\n", static_cast<unsigned>(destruct()));
    std::fflush(stdout);
  }
  DestructFn destruct = nullptr;
};
Session g_session;

void Check(const char* what, T_PDU_ERROR status) {
  if (status == PDU_STATUS_NOERROR) return;
  std::fprintf(stderr, "client: %s failed: 0x%X\n", what, static_cast<unsigned>(status));
  std::exit(91);
}

template <typename Fn>
Fn Need(void* lib, const char* name) {
  void* f = dlsym(lib, name);
  if (f == nullptr) {
    std::fprintf(stderr, "client: no %s\n", name);
    std::exit(90);
  }
  return reinterpret_cast<Fn>(f);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3 || std::strcmp(argv[2], "global") != 0) {
    std::fprintf(stderr, "usage: lifetime_global LIBRARY global\n");
    return 2;
  }
#ifdef LIFETIME_LINKED
  ConstructFn construct = PDUConstruct;
  GetObjectIdFn getObjectId = PDUGetObjectId;
  CreateLinkFn createLink = PDUCreateComLogicalLink;
  ConnectFn connect = PDUConnect;
  g_session.destruct = PDUDestruct;
#else
  void* lib = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
  if (lib == nullptr) {
    std::fprintf(stderr, "client: %s\n", dlerror());
    return 92;
  }
  auto construct = Need<ConstructFn>(lib, "PDUConstruct");
  auto getObjectId = Need<GetObjectIdFn>(lib, "PDUGetObjectId");
  auto createLink = Need<CreateLinkFn>(lib, "PDUCreateComLogicalLink");
  auto connect = Need<ConnectFn>(lib, "PDUConnect");
  g_session.destruct = Need<DestructFn>(lib, "PDUDestruct");
#endif
  CHAR8 options[] = "";
  Check("PDUConstruct", construct(options, nullptr));
  CHAR8 name[] = "RSC_ISO_15765_3_on_ISO_15765_2_6_14";
  UNUM32 resource = 0, hCLL = 0;
  Check("PDUGetObjectId", getObjectId(PDU_OBJT_RESOURCE, name, &resource));
  Check("PDUCreateComLogicalLink", createLink(1, nullptr, resource, nullptr, &hCLL, nullptr));
  Check("PDUConnect", connect(1, hCLL));
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  std::printf("exit at %lld\n", static_cast<long long>(ts.tv_sec) * 1000000000LL + ts.tv_nsec);
  std::fflush(stdout);
  return 4;
}
