/* One schedule of the lifetime stress run (stress.py): an application that
 * ends, forks, unloads or destructs in one of the ways the module's
 * lifetime table lists, on a bus that may be streaming, with a callback
 * that may hold the engine.
 *
 *   stress_client LIBRARY SCHEDULE [key=value ...]
 *
 * Every schedule that loads the library starts the same way: PDUConstruct,
 * a connected ISO 15765 link, 22 F1 90 and a check of the ECU's answer
 * (so each run also proves that the run before it left the VCI usable).
 * Keys (defaults in brackets):
 *   status=N   the exit status the program chooses [0]
 *   end=return|exit  how main ends [return]
 *   load=idle|pending|stream  what the engine does when the schedule acts:
 *              nothing; 31 01 02 03 in flight (the ECU answers "response
 *              pending" for 1.2 s); a raw CAN link listening to the bus's
 *              1 ms traffic [idle]
 *   cb=-1|0|MS  the callback that takes the events (and sees the answers
 *              to 22 F1 90) is removed after each answer; it stays; it
 *              stays and sleeps MS in every call, holding the engine [0]
 * Schedules and their own keys:
 *   destruct          k=1..8 threads call PDUDestruct at once
 *   callback-destruct PDUDestruct from a callback; then=none|destruct|
 *                     construct: what the application does after it
 *   callback-race     PDUDestruct from a callback and from the application;
 *                     us>0: the callback's comes us later, us<0: the
 *                     application's comes -us later
 *   construct-race    PDUDestruct and PDUConstruct from two threads (us>0
 *                     delays the destruct, us<0 the construct), then
 *                     PDUDestruct ("destruct-after")
 *   exit-during-destruct  exit() us after another thread entered
 *                     PDUDestruct (cb>0: while a callback holds the engine)
 *   fork              child=exit|_exit|exec (never uses the API)|api|
 *                     exec-api (constructs: the parent holds the port)
 *   fork-busy         forks 4 times while a thread is inside PDUIoCtl; the
 *                     child calls call=timestamp|destruct|both (alternating)
 *   atexit            PDUDestruct in an atexit handler registered at=
 *                     before-dlopen|before-construct|after-construct
 *   dlclose           cycles=D..K..: per cycle dlopen and a session, D
 *                     destructs before dlclose, K leaves it constructed
 *   sigterm           raise(SIGTERM) us after the load started
 *   second-construct  PDUConstruct again with config.ini switched to
 *                     open=0 in between, then PDUDestruct
 *   exit-without-destruct, probe (construct, answer, destruct)
 *   noop, child-probe the programs a forked child execs
 *
 * Output lines: "call WHAT 0xSTATUS MS" for every timed call, "vin ok",
 * what the schedule found, and "exit at <CLOCK_MONOTONIC ns>" just before
 * it ends. A failed step exits 91 after saying what failed. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <stdarg.h>
#include <stdatomic.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include "stress_client.h"

const char* libPath;
static void* lib;
static ConstructFn Construct;
static DestructFn Destruct;
GetObjectIdFn GetObjectId;
static CreateLinkFn CreateLink;
static ConnectFn Connect;
static StartCopFn StartCop;
static RegisterFn Register;
static GetEventFn GetEvent;
DestroyItemFn DestroyItem;
IoCtlFn IoCtl;
TimestampFn Timestamp;

/* The schedule's keys. */
static int optStatus = 0, optCb = 0, optK = 1, optUs = 0;
const char *optLoad = "idle", *optChild = "exit", *optCall = "timestamp";
static const char *optEnd = "return", *optThen = "none", *optAt = "", *optCycles = "D";

/* What callbacks do: 0 drain, 1 PDUDestruct once, 2 PDUDestruct once in a
 * race with the application. */
static _Atomic int cbAction = 0;
/* The action Session() gives the callbacks once the first answer is in,
 * before the load starts: a listening ComPrimitive calls back only when it
 * starts and ends, so its start must already find the action set. Not for
 * the race: its callback waits for the application, and a link-status
 * callback (the raw link's PDUConnect) runs under the ApiLock that the
 * application's next call needs. */
static int armAction = 0;
static _Atomic int holdOn = 0, holding = 0; /* callbacks hold the engine; have held it */
_Atomic int vinAnswers = 0;
static _Atomic int vinWrong = 0;
_Atomic int copsFinished = 0; /* FINISHED items of the main link */
static _Atomic int cbActed = 0;       /* the action has been taken (once) */
static _Atomic int cbStatus = -1;     /* the status the callback's call gave */
static _Atomic int cbReady = 0, raceGo = 0;
static _Atomic int destructStarted = 0, threadStatus = -1;
_Atomic UNUM32 mainLink; /* the ISO 15765 link of the last Session() */

/* One line, written whole (threads print at once). */
void Say(const char* fmt, ...) {
  char line[256];
  va_list ap;
  va_start(ap, fmt);
  vsnprintf(line, sizeof line - 1, fmt, ap);
  va_end(ap);
  strcat(line, "\n");
  fputs(line, stdout);
  fflush(stdout);
}

long long NowNs(void) {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return (long long)ts.tv_sec * 1000000000LL + ts.tv_nsec;
}

void SleepUs(long us) {
  struct timespec ts = {us / 1000000, (us % 1000000) * 1000L};
  while (nanosleep(&ts, &ts) != 0) {
  }
}

/* Waits (bounded by 5 s) until *flag is set: for a step that does happen. */
void Await(_Atomic int* flag, const char* what) {
  long long end = NowNs() + 5000000000LL;
  while (!*flag) {
    if (NowNs() > end) {
      fprintf(stderr, "client: no %s within 5 s\n", what);
      exit(94);
    }
    SleepUs(200);
  }
}

void Fail(const char* what, T_PDU_ERROR status) {
  fprintf(stderr, "client: %s failed: 0x%X\n", what, (unsigned)status);
  exit(91);
}

void Check(const char* what, T_PDU_ERROR status) {
  if (status != PDU_STATUS_NOERROR) Fail(what, status);
}

static void ExitStamp(void) { Say("exit at %lld", NowNs()); }

static void Load(void) {
  lib = dlopen(libPath, RTLD_NOW | RTLD_LOCAL);
  if (lib == NULL) {
    fprintf(stderr, "client: %s\n", dlerror());
    exit(92);
  }
/* A pointer is written only when it changes: a library that stayed loaded
 * (dlclose of a constructed module) gives the same addresses, and its
 * engine thread reads them meanwhile in the callback. */
#define NEED(var, type, name)             \
  do {                                    \
    type fn_ = (type)PduNeed(lib, name);  \
    if (var != fn_) var = fn_;            \
  } while (0)
  NEED(Construct, ConstructFn, "PDUConstruct");
  NEED(Destruct, DestructFn, "PDUDestruct");
  NEED(GetObjectId, GetObjectIdFn, "PDUGetObjectId");
  NEED(CreateLink, CreateLinkFn, "PDUCreateComLogicalLink");
  NEED(Connect, ConnectFn, "PDUConnect");
  NEED(StartCop, StartCopFn, "PDUStartComPrimitive");
  NEED(Register, RegisterFn, "PDURegisterEventCallback");
  NEED(GetEvent, GetEventFn, "PDUGetEventItem");
  NEED(DestroyItem, DestroyItemFn, "PDUDestroyItem");
  NEED(IoCtl, IoCtlFn, "PDUIoCtl");
  NEED(Timestamp, TimestampFn, "PDUGetTimestamp");
#undef NEED
}

/* dlclose, then whether the library is still mapped. */
static void Unload(const char* label) {
  void* again;
  if (dlclose(lib) != 0) Fail("dlclose", 0);
  again = dlopen(libPath, RTLD_NOW | RTLD_NOLOAD);
  Say("%s: %s", label, again != NULL ? "still loaded" : "unloaded");
  if (again != NULL) dlclose(again);
}

T_PDU_ERROR TimedConstruct(const char* what) {
  CHAR8 options[] = "";
  long long t0 = NowNs();
  T_PDU_ERROR st = Construct(options, NULL);
  Say("call %s 0x%X %.1f", what, (unsigned)st, (NowNs() - t0) / 1e6);
  return st;
}

T_PDU_ERROR TimedDestruct(const char* what) {
  long long t0 = NowNs();
  T_PDU_ERROR st = Destruct();
  Say("call %s 0x%X %.1f", what, (unsigned)st, (NowNs() - t0) / 1e6);
  return st;
}

static UNUM32 OpenLink(const char* resourceName) {
  return PduOpenLink(GetObjectId, CreateLink, Connect, resourceName, Check);
}

static void Send(UNUM32 hCLL, const char* hex, SNUM32 receiveCycles) {
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
  Check("PDUStartComPrimitive", StartCop(1, hCLL, PDU_COPT_SENDRECV, len, data, &ctrl, NULL, &hCoP));
}

/* Takes every event of hCLL. Counts the answers to 22 F1 90 on the main
 * link: the VIN of busy-bus.json's engine ECU, or a wrong one. Polling
 * cannot do this: without a callback the engine drops an event of the
 * link whenever it would have called one. */
static void DrainEvents(UNUM32 hCLL) {
  static const char want[] = "\x62\xF1\x90WBUSYBUS7318LIVE1";
  PDU_EVENT_ITEM* item = NULL;
  while (GetEvent(1, hCLL, &item) == PDU_STATUS_NOERROR && item != NULL) {
    if (item->ItemType == PDU_IT_RESULT && hCLL == mainLink) {
      const PDU_RESULT_DATA* r = (const PDU_RESULT_DATA*)item->pData;
      if (r->NumDataBytes == sizeof want - 1 && memcmp(r->pDataBytes, want, sizeof want - 1) == 0) {
        ++vinAnswers;
      } else if (r->NumDataBytes >= 3 && memcmp(r->pDataBytes, want, 3) == 0) {
        ++vinWrong;
      }
    } else if (item->ItemType == PDU_IT_STATUS && hCLL == mainLink && *(const UNUM32*)item->pData == PDU_COPST_FINISHED) {
      ++copsFinished;
    }
    DestroyItem((PDU_ITEM*)item);
    item = NULL;
  }
}

static void PDU_CALL OnEvent(T_PDU_EVT_DATA event, UNUM32 hMod, UNUM32 hCLL, void* tag, void* api) {
  int expected = 0;
  (void)event, (void)hMod, (void)tag, (void)api;
  if (holdOn) {
    ++holding;
    SleepUs(optCb * 1000L);
  }
  DrainEvents(hCLL);
  if (cbAction == 0 || !atomic_compare_exchange_strong(&cbActed, &expected, 1)) return;
  if (cbAction == 2) {
    cbReady = 1;
    while (!raceGo) sched_yield(); /* the application sets it at once */
    if (optUs > 0) SleepUs(optUs);
  }
  cbStatus = (int)TimedDestruct("callback-destruct");
}

/* 22 F1 90 on the main link and the ECU's answer, through the callback. */
void AskVin(UNUM32 hCLL) {
  const int before = vinAnswers;
  long long end = NowNs() + 3000000000LL;
  Check("PDURegisterEventCallback", Register(1, hCLL, OnEvent));
  Send(hCLL, "22 F1 90", 1);
  while (vinAnswers == before && vinWrong == 0 && NowNs() < end) SleepUs(1000);
  if (vinWrong != 0) Fail("22 F1 90 (a wrong answer)", 0);
  if (vinAnswers == before) Fail("22 F1 90 (no answer within 3 s)", 0);
  if (optCb < 0) Check("PDURegisterEventCallback", Register(1, hCLL, NULL));
  Say("vin ok");
}

/* Construct, the link and its answer, the callback, the load. */
static UNUM32 Session(void) {
  UNUM32 hCLL;
  Check("PDUConstruct", TimedConstruct("construct"));
  hCLL = OpenLink("RSC_ISO_15765_3_on_ISO_15765_2_6_14");
  mainLink = hCLL;
  AskVin(hCLL);
  holdOn = optCb > 0;
  cbAction = armAction;
  if (strcmp(optLoad, "pending") == 0) Send(hCLL, "31 01 02 03", 1);
  if (strcmp(optLoad, "stream") == 0) {
    UNUM32 raw = OpenLink("RSC_ISO_11898_RAW_6_14");
    if (optCb >= 0) Check("PDURegisterEventCallback", Register(1, raw, OnEvent));
    Send(raw, "10 07 00 00 02 10 03", -1);
  }
  return hCLL;
}

static int End(void) {
  ExitStamp();
  if (strcmp(optEnd, "exit") == 0) exit(optStatus);
  return optStatus;
}

static void* DestructThread(void* arg) {
  destructStarted = 1;
  *(T_PDU_ERROR*)arg = TimedDestruct("destruct");
  return NULL;
}

static void* QuietDestructThread(void* arg) {
  (void)arg;
  destructStarted = 1;
  threadStatus = (int)Destruct(); /* no output: exit() may be tearing stdio down */
  return NULL;
}

static void* ConstructThread(void* arg) {
  while (!raceGo) sched_yield();
  if (optUs < 0) SleepUs(-optUs);
  *(T_PDU_ERROR*)arg = TimedConstruct("construct");
  return NULL;
}

static void AtExitDestruct(void) {
  Say("atexit destruct: 0x%X", (unsigned)TimedDestruct("atexit-destruct"));
}

static int Run(const char* s) {
  int i;
  if (strcmp(s, "noop") == 0) return 0;
  if (strcmp(optAt, "before-dlopen") == 0) atexit(AtExitDestruct);
  Load();
  if (strcmp(s, "child-probe") == 0) { /* exec'd by a forked child: the port is the parent's */
    TimedConstruct("child-construct");
    TimedDestruct("child-destruct");
    return 0;
  }
  if (strcmp(optAt, "before-construct") == 0) atexit(AtExitDestruct);
  if (strcmp(s, "dlclose") == 0) {
    char label[32];
    for (i = 0; optCycles[i] != '\0'; ++i) {
      if (i > 0) Load();
      Session();
      if (optCycles[i] == 'D') Check("PDUDestruct", TimedDestruct("destruct"));
      snprintf(label, sizeof label, "cycle %d", i + 1);
      Unload(label);
    }
    return End();
  }
  if (strcmp(s, "second-construct") == 0) {
    char path[512];
    FILE* ini;
    Session();
    snprintf(path, sizeof path, "%s/config.ini", getenv("PDU7318_HOME"));
    ini = fopen(path, "w");
    if (ini == NULL) Fail("config.ini", 0);
    fputs("[LOG]\nopen=0\n", ini);
    fclose(ini);
    Session();
    Check("PDUDestruct", TimedDestruct("destruct"));
    return End();
  }
  if (strncmp(s, "callback-", 9) == 0) {
    if (optCb < 0) optCb = 0; /* they need it */
    armAction = s[9] == 'r' ? 0 : 1;
  }
  Session();
  if (strcmp(optAt, "after-construct") == 0) atexit(AtExitDestruct);
  if (strcmp(s, "probe") == 0) {
    Check("PDUDestruct", TimedDestruct("destruct"));
  } else if (strcmp(s, "destruct") == 0) {
    pthread_t threads[8];
    T_PDU_ERROR status[8];
    for (i = 0; i < optK; ++i) pthread_create(&threads[i], NULL, DestructThread, &status[i]);
    for (i = 0; i < optK; ++i) pthread_join(threads[i], NULL);
  } else if (strcmp(s, "callback-destruct") == 0 || strcmp(s, "callback-race") == 0) {
    const int race = s[9] == 'r';
    if (race) cbAction = 2;
    Send(mainLink, "22 F1 90", 1); /* its events reach the callback (idle load) */
    if (race) {
      Await(&cbReady, "callback ready to destruct");
      raceGo = 1;
      if (optUs < 0) SleepUs(-optUs);
      TimedDestruct("destruct");
    }
    Await(&cbActed, "callback's PDUDestruct");
    while (cbStatus == -1) SleepUs(200);
    if (strcmp(optThen, "destruct") == 0) TimedDestruct("destruct-after");
    if (strcmp(optThen, "construct") == 0) {
      armAction = 0;
      Session();
      Check("PDUDestruct", TimedDestruct("destruct"));
    }
  } else if (strcmp(s, "construct-race") == 0) {
    pthread_t other;
    T_PDU_ERROR constructed = 0xFFFF;
    pthread_create(&other, NULL, ConstructThread, &constructed);
    raceGo = 1;
    if (optUs > 0) SleepUs(optUs);
    TimedDestruct("destruct");
    pthread_join(other, NULL);
    TimedDestruct("destruct-after");
  } else if (strcmp(s, "exit-during-destruct") == 0) {
    pthread_t other;
    pthread_attr_t detached; /* exit() comes while it runs: it is never joined */
    if (optCb > 0) {
      Send(mainLink, "22 F1 90", 1);
      Await(&holding, "callback");
    }
    pthread_attr_init(&detached);
    pthread_attr_setdetachstate(&detached, PTHREAD_CREATE_DETACHED);
    pthread_create(&other, &detached, QuietDestructThread, NULL);
    Await(&destructStarted, "PDUDestruct thread");
    SleepUs(optUs);
    ExitStamp();
    exit(optStatus); /* the other thread is still inside PDUDestruct */
  } else if (strcmp(s, "fork") == 0) {
    ForkSchedule();
  } else if (strcmp(s, "fork-busy") == 0) {
    ForkBusySchedule();
  } else if (strcmp(s, "sigterm") == 0) {
    SleepUs(optUs);
    Say("raising SIGTERM");
    raise(SIGTERM);
    return 96; /* not reached: SIGTERM's default action ends the process */
  } else if (strcmp(s, "atexit") != 0 && strcmp(s, "exit-without-destruct") != 0) {
    fprintf(stderr, "client: unknown schedule %s\n", s);
    return 2;
  }
  return End();
}

int main(int argc, char** argv) {
  int i;
  if (argc < 3) {
    fprintf(stderr, "usage: stress_client LIBRARY SCHEDULE [key=value ...]\n");
    return 2;
  }
  libPath = argv[1];
  for (i = 3; i < argc; ++i) {
    const char* v = strchr(argv[i], '=');
    const size_t n = v != NULL ? (size_t)(v - argv[i]) : 0;
    if (v == NULL) return 2;
    ++v;
#define KEY(name) (n == strlen(name) && strncmp(argv[i], name, n) == 0)
    if (KEY("status")) optStatus = atoi(v);
    else if (KEY("cb")) optCb = atoi(v);
    else if (KEY("k")) optK = atoi(v) < 1 ? 1 : atoi(v) > 8 ? 8 : atoi(v);
    else if (KEY("us")) optUs = atoi(v);
    else if (KEY("end")) optEnd = v;
    else if (KEY("load")) optLoad = v;
    else if (KEY("then")) optThen = v;
    else if (KEY("at")) optAt = v;
    else if (KEY("child")) optChild = v;
    else if (KEY("call")) optCall = v;
    else if (KEY("cycles")) optCycles = v;
    else {
      fprintf(stderr, "client: unknown key %s\n", argv[i]);
      return 2;
    }
#undef KEY
  }
  return Run(argv[2]);
}
