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
 * Schedules (their own keys: stress.py's draw()): destruct (k threads),
 * callback-destruct (then=none|destruct|construct), callback-race (us),
 * construct-race (us), exit-during-destruct (us), fork (child=exit|_exit|
 * exec|api|exec-api), fork-busy (call=timestamp|destruct|both: forks while
 * a thread is inside PDUIoCtl), atexit (at=before-dlopen|before-construct|
 * after-construct), dlclose (cycles=D..K..: D destructs before dlclose, K
 * leaves the module constructed), sigterm (us), second-construct
 * (config.ini switched to open=0 in between), exit-without-destruct, probe;
 * noop and child-probe are what a forked child execs.
 *
 *   stress_client LIBRARY lifetime MODE
 *
 * runs a case of lifetime.py instead (its table has the modes, the exit
 * status each chooses and the text each prints). Built twice: dlopen'ing
 * LIBRARY, and (LIFETIME_LINKED) linked against the library, when "before
 * dlopen" is "before construct".
 *
 * Output lines: "call WHAT 0xSTATUS MS" for every timed call, "vin ok",
 * what the schedule found, and "exit at <CLOCK_MONOTONIC ns>" just before
 * it ends. A failed step exits 91 after saying what failed. */
#define _GNU_SOURCE
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <stdatomic.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "pdu_client.h"

static const char* libPath;
static void* lib;
static struct PduEntryPoints pdu;

/* The schedule's keys. */
static int optStatus = 0, optCb = 0, optK = 1, optUs = 0;
static const char *optLoad = "idle", *optChild = "exit", *optCall = "timestamp";
static const char *optEnd = "return", *optThen = "none", *optAt = "", *optCycles = "D";

/* What callbacks do: 0 drain, 1 PDUDestruct once, 2 PDUDestruct once in a
 * race with the application, 3 PDUConstruct once, 4 exit(6). */
static _Atomic int cbAction = 0;
/* The action Session() gives the callbacks once the first answer is in,
 * before the load starts: a listening ComPrimitive calls back only when it
 * starts and ends, so its start must already find the action set. Not for
 * the race: its callback waits for the application, and a link-status
 * callback (the raw link's PDUConnect) runs under the ApiLock that the
 * application's next call needs. */
static int armAction = 0;
static _Atomic int holdOn = 0, holding = 0; /* callbacks hold the engine; have held it */
static _Atomic int vinAnswers = 0;
static _Atomic int vinWrong = 0;
static _Atomic int results = 0;      /* result items of any link */
static _Atomic int copsFinished = 0; /* FINISHED items of the main link */
static _Atomic int cbActed = 0;       /* the action has been taken (once) */
static _Atomic int cbStatus = -1;     /* the status the callback's call gave */
static _Atomic int cbReady = 0, raceGo = 0;
static _Atomic int destructStarted = 0, threadStatus = -1;
static _Atomic UNUM32 mainLink; /* the ISO 15765 link of the last Session() */

/* PDUConstruct (a label with "construct" in it) or PDUDestruct, said as
 * "call LABEL 0xSTATUS MS". */
static T_PDU_ERROR Timed(const char* label) {
  CHAR8 options[] = "";
  long long t0 = PduNowNs();
  T_PDU_ERROR st = strstr(label, "construct") != NULL ? pdu.Construct(options, NULL) : pdu.Destruct();
  PduSay("call %s 0x%X %.1f", label, (unsigned)st, (PduNowNs() - t0) / 1e6);
  return st;
}

static UNUM32 OpenLink(const char* resourceName) {
  return PduOpenLink(pdu.GetObjectId, pdu.CreateLink, pdu.Connect, resourceName, PduCheck);
}

static void Send(UNUM32 hCLL, const char* hex, SNUM32 cycles) { PduSend(pdu.StartCop, hCLL, hex, cycles); }

/* Takes every event of hCLL. Counts the answers to 22 F1 90 on the main
 * link: the VIN of busy-bus.json's engine ECU, or a wrong one. Polling
 * cannot do this: without a callback the engine drops an event of the
 * link whenever it would have called one. */
static void DrainEvents(UNUM32 hCLL) {
  static const char want[] = "\x62\xF1\x90WBUSYBUS7318LIVE1";
  PDU_EVENT_ITEM* item = NULL;
  while (pdu.GetEvent(1, hCLL, &item) == PDU_STATUS_NOERROR && item != NULL) {
    if (item->ItemType == PDU_IT_RESULT) ++results;
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
    pdu.DestroyItem((PDU_ITEM*)item);
    item = NULL;
  }
}

static void PDU_CALL OnEvent(T_PDU_EVT_DATA event, UNUM32 hMod, UNUM32 hCLL, void* tag, void* api) {
  int expected = 0;
  CHAR8 options[] = "";
  (void)event, (void)hMod, (void)tag, (void)api;
  if (cbAction == 4) PduExitStamp(), exit(6);
  if (holdOn) {
    ++holding;
    PduSleepUs(optCb * 1000L);
  }
  DrainEvents(hCLL);
  if (cbAction == 0 || !atomic_compare_exchange_strong(&cbActed, &expected, 1)) return;
  if (cbAction == 2) {
    cbReady = 1;
    while (!raceGo) sched_yield(); /* the application sets it at once */
    if (optUs > 0) PduSleepUs(optUs);
  }
  cbStatus = cbAction == 3 ? (int)pdu.Construct(options, NULL) : (int)Timed("callback-destruct");
}

/* 22 F1 90 on the main link and the ECU's answer, through the callback. */
static void AskVin(UNUM32 hCLL) {
  const int before = vinAnswers;
  long long end = PduNowNs() + 3000000000LL;
  PduCheck("PDURegisterEventCallback", pdu.Register(1, hCLL, OnEvent));
  Send(hCLL, "22 F1 90", 1);
  while (vinAnswers == before && vinWrong == 0 && PduNowNs() < end) PduSleepUs(1000);
  if (vinWrong != 0) PduCheck("22 F1 90 (a wrong answer)", 0xFFFF);
  if (vinAnswers == before) PduCheck("22 F1 90 (no answer within 3 s)", 0xFFFF);
  if (optCb < 0) PduCheck("PDURegisterEventCallback", pdu.Register(1, hCLL, NULL));
  PduSay("vin ok");
}

/* Construct, the link and its answer, the callback, the load. */
static UNUM32 Session(void) {
  UNUM32 hCLL;
  PduCheck("PDUConstruct", Timed("construct"));
  hCLL = OpenLink("RSC_ISO_15765_3_on_ISO_15765_2_6_14");
  mainLink = hCLL;
  AskVin(hCLL);
  holdOn = optCb > 0;
  cbAction = armAction;
  if (strcmp(optLoad, "pending") == 0) Send(hCLL, "31 01 02 03", 1);
  if (strcmp(optLoad, "stream") == 0) {
    UNUM32 raw = OpenLink("RSC_ISO_11898_RAW_6_14");
    if (optCb >= 0) PduCheck("PDURegisterEventCallback", pdu.Register(1, raw, OnEvent));
    Send(raw, "10 07 00 00 02 10 03", -1);
  }
  return hCLL;
}

static int End(void) {
  PduExitStamp();
  if (strcmp(optEnd, "exit") == 0) exit(optStatus);
  return optStatus;
}

static void* DestructThread(void* arg) {
  destructStarted = 1;
  *(T_PDU_ERROR*)arg = Timed("destruct");
  return NULL;
}

static void* QuietDestructThread(void* arg) {
  (void)arg;
  destructStarted = 1;
  threadStatus = (int)pdu.Destruct(); /* no output: exit() may be tearing stdio down */
  return NULL;
}

static void* ConstructThread(void* arg) {
  while (!raceGo) sched_yield();
  if (optUs < 0) PduSleepUs(-optUs);
  *(T_PDU_ERROR*)arg = Timed("construct");
  return NULL;
}

static void AtExitDestruct(void) {
  PduSay("atexit destruct: 0x%X", (unsigned)Timed("atexit-destruct"));
}

static void Load(void) {
#ifdef LIFETIME_LINKED
#define PDU_ENTRY_LINK(field, type, name) pdu.field = (type)name;
  PDU_ENTRY_POINTS(PDU_ENTRY_LINK)
#else
  lib = PduLoad(libPath, &pdu);
#endif
}

static void AwaitResults(int n) { /* up to 3 s */
  int i;
  for (i = 0; i < 300 && results < n; ++i) PduSleepUs(10000);
}

/* A case of lifetime.py, on silent.json's ECU: the careless ways real
 * applications end (without PDUDestruct, unloading the library, from a
 * callback, destructing from several threads or an exit handler), each
 * with the exit status the table gives. */
static int Lifetime(const char* mode) {
  const char *can = "RSC_ISO_15765_3_on_ISO_15765_2_6_14", *vin = "22 F1 90";
  CHAR8 options[] = "";
  int i;
  if (strcmp(mode, "atexit-before-dlopen") == 0) atexit(AtExitDestruct);
  Load();
  if (strcmp(mode, "atexit-before-construct") == 0) atexit(AtExitDestruct);
  PduCheck("PDUConstruct", pdu.Construct(options, NULL));
  if (strcmp(mode, "atexit-after-construct") == 0) atexit(AtExitDestruct);
  if (strcmp(mode, "inflight") == 0 || strncmp(mode, "destruct-", 9) == 0) {
    Send(OpenLink(can), "22 F1 00", 1); /* the ECU never answers it */
    PduSleepUs(150000);                 /* the engine now waits for that answer */
  } else if (strcmp(mode, "link") == 0 || strncmp(mode, "atexit-", 7) == 0) {
    OpenLink(can);
  }
  if (strcmp(mode, "destruct-2") == 0 || strcmp(mode, "destruct-8") == 0) {
    pthread_t threads[8];
    T_PDU_ERROR status[8];
    int n = mode[9] - '0', ok = 0, other = 0;
    for (i = 0; i < n; ++i) pthread_create(&threads[i], NULL, DestructThread, &status[i]);
    for (i = 0; i < n; ++i) pthread_join(threads[i], NULL);
    for (i = 0; i < n; ++i) ok += status[i] == 0x00, other += status[i] != 0x00 && status[i] != 0x11;
    PduSay("destructs: %d ok", other ? -1 : ok);
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
    UNUM32 hCLL = OpenLink(can);
    if (!destructed) Send(hCLL, vin, 1);
    if (destructed) PduCheck("PDUDestruct", pdu.Destruct());
    PduUnload(lib, libPath, "after dlclose: library");
    PduSleepUs(destructed ? 200000 : 500000); /* the engine and receive threads go on meanwhile */
    PduSay("alive");
    PduExitStamp();
    return 0;
  }
  if (strcmp(mode, "construct-in-callback") == 0 || strcmp(mode, "exit-in-callback") == 0) {
    UNUM32 hCLL = OpenLink(can);
    cbAction = mode[0] == 'e' ? 4 : 3;
    PduCheck("PDURegisterEventCallback", pdu.Register(1, hCLL, OnEvent));
    Send(hCLL, vin, 1);
    if (cbAction == 4) {
      PduSleepUs(5000000);
      return 1; /* the callback ends the process before this */
    }
    AwaitResults(1);
    PduSay("construct in callback: 0x%X", (unsigned)cbStatus);
    /* The session goes on: a second exchange gets its answer. */
    Send(hCLL, vin, 1);
    AwaitResults(2);
    PduSay("results: %d", results);
    PduCheck("PDUDestruct", pdu.Destruct());
    PduExitStamp();
    return cbStatus == 0x01 && results == 2 ? 0 : 1;
  }
  fprintf(stderr, "client: unknown mode %s\n", mode);
  return 2;
}

/* The fork schedules: a child that never uses the API (exit, _exit, exec)
 * or calls it afresh, forked from an idle or busy parent, and children
 * forked while a thread of the parent is inside an API call. The parent
 * checks how the child ended and how long it took, and that its own
 * session goes on. */
static _Atomic int ioLoop = 0, inIoCtl = 0;

/* 1 in a forked child that did not exec. The child abandons the parent's
 * module on purpose (its threads did not come along, their objects and
 * the items on their stacks are never released), so a leak check there
 * would only list that. An exec'd child is a new process and is checked. */
static _Atomic int forkedChild = 0;

/* Asked by LeakSanitizer (ASan builds) when the process ends. */
__attribute__((visibility("default"))) int __lsan_is_turned_off(void);
int __lsan_is_turned_off(void) { return forkedChild; }

/* Set by the child, in a page the parent shares, the moment it calls
 * exit/_exit/exec: the parent times the child's end from there, not from
 * fork(). fork() itself copies the parent's page tables, which under a
 * sanitizer's shadow memory on a loaded machine takes hundreds of ms and
 * says nothing about the module. */
static volatile long long* leavesAtNs = NULL;

static void Leaving(void) {
  if (leavesAtNs) *leavesAtNs = PduNowNs();
}

/* Keeps a thread inside PDUIoCtl (which holds the ApiLock for the VCI's
 * round trip) while the main thread forks. */
static void* IoCtlLoop(void* arg) {
  CHAR8 name[] = "PDU_IOCTL_READ_VBATT";
  UNUM32 id = 0;
  (void)arg;
  PduCheck("PDUGetObjectId", pdu.GetObjectId(PDU_OBJT_IO_CTRL, name, &id));
  while (ioLoop) {
    PDU_DATA_ITEM* out = NULL;
    inIoCtl = 1;
    pdu.IoCtl(1, PDU_ID_UNDEF, id, NULL, &out);
    inIoCtl = 0;
    if (out != NULL) pdu.DestroyItem((PDU_ITEM*)out);
  }
  return NULL;
}

/* Log file i (0 main, 1 data, 2 contact) of today. */
static void LogPath(int i, char* path, size_t size) {
  static const char* const suffix[] = {".txt", "_data.txt", "_contact.txt"};
  char date[16];
  time_t now = time(NULL);
  struct tm local;
  localtime_r(&now, &local);
  strftime(date, sizeof date, "%Y-%m-%d", &local);
  snprintf(path, size, "%s/J2534/7318/%s%s", getenv("PDU7318_LOG_PATH"), date, suffix[i]);
}

static long long LogBytes(void) {
  char path[512];
  struct stat st;
  long long total = 0;
  int i;
  for (i = 0; getenv("PDU7318_LOG_PATH") != NULL && i < 3; ++i) {
    LogPath(i, path, sizeof path);
    if (stat(path, &st) == 0) total += (long long)st.st_size;
  }
  return total;
}

/* Waits (bounded) until the engine has finished the last 22 F1 90 and
 * logged the end of its callback, its last line before it sleeps: from
 * then on an idle parent writes nothing. */
static void AwaitQuietLog(void) {
  static const char last[] = "CallbackThread quit\n";
  char path[512], tail[sizeof last];
  long long end = PduNowNs() + 3000000000LL;
  LogPath(0, path, sizeof path);
  while (copsFinished < vinAnswers && PduNowNs() < end) PduSleepUs(1000);
  while (PduNowNs() < end) {
    FILE* f = fopen(path, "rb");
    size_t n = 0;
    if (f != NULL && fseek(f, -(long)(sizeof last - 1), SEEK_END) == 0) n = fread(tail, 1, sizeof last - 1, f);
    if (f != NULL) fclose(f);
    if (f == NULL || (n == sizeof last - 1 && memcmp(tail, last, n) == 0)) return;
    PduSleepUs(1000);
  }
}

/* The child of fork(): never touches the API, or calls it afresh. */
static void Child(const char* how) {
  char self[512];
  ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  forkedChild = 1;
  alarm(3); /* a child that hangs dies of SIGALRM, which the parent reports */
  self[n > 0 ? n : 0] = '\0';
  if (strcmp(how, "exit") == 0) Leaving(), exit(0);
  if (strcmp(how, "_exit") == 0) Leaving(), _exit(0);
  if (strcmp(how, "exec") == 0) Leaving(), execl(self, self, libPath, "noop", (char*)NULL);
  if (strcmp(how, "exec-api") == 0) execl(self, self, libPath, "child-probe", (char*)NULL);
  if (strcmp(how, "api") == 0) {
    /* A construction of its own, logging into a folder of its own: a fresh
     * process reads PDU7318_LOG_PATH anew, and so must a forked child. */
    const char* logs = getenv("PDU7318_LOG_PATH");
    char childLogs[600];
    snprintf(childLogs, sizeof childLogs, "%schild/", logs ? logs : "");
    setenv("PDU7318_LOG_PATH", childLogs, 1);
    Timed("child-construct");
    Timed("child-destruct");
    exit(0);
  }
  if (strcmp(how, "timestamp") == 0) {
    UNUM32 ts = 0;
    long long t0 = PduNowNs();
    T_PDU_ERROR st = pdu.Timestamp(1, &ts);
    PduSay("call child-timestamp 0x%X %.1f", (unsigned)st, (PduNowNs() - t0) / 1e6);
    exit(0);
  }
  if (strcmp(how, "destruct") == 0) {
    Timed("child-destruct");
    exit(0);
  }
  _exit(95); /* exec failed or unknown */
}

/* Forks, lets the child do `how`, waits for it; returns its status. */
static void ForkChild(const char* how) {
  long long t0;
  pid_t pid;
  int ws = 0;
  fflush(stdout);
  if (!leavesAtNs) {
    void* page = mmap(NULL, sizeof *leavesAtNs, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    if (page == MAP_FAILED) PduCheck("mmap", 0xFFFF);
    leavesAtNs = page;
  }
  *leavesAtNs = 0;
  t0 = PduNowNs();
  pid = fork();
  if (pid < 0) PduCheck("fork", 0xFFFF);
  if (pid == 0) Child(how);
  if (waitpid(pid, &ws, 0) != pid) PduCheck("waitpid", 0xFFFF);
  if (WIFSIGNALED(ws)) {
    PduSay("child died of signal %d", WTERMSIG(ws));
  } else {
    long long end = PduNowNs();
    long long left = *leavesAtNs ? *leavesAtNs : t0;
    PduSay("child %s: status %d in %.1f ms (%.1f ms after fork)", how, WEXITSTATUS(ws), (end - left) / 1e6,
        (end - t0) / 1e6);
  }
}

static void ForkSchedule(void) {
  long long before;
  if (strcmp(optLoad, "idle") == 0) AwaitQuietLog();
  before = LogBytes();
  ForkChild(optChild);
  if (strcmp(optLoad, "idle") == 0) PduSay("log grew by %lld bytes", LogBytes() - before);
  AskVin(mainLink); /* the parent's session goes on */
  PduCheck("PDUDestruct", Timed("destruct"));
}

static void ForkBusySchedule(void) {
  pthread_t loop;
  int i;
  ioLoop = 1;
  pthread_create(&loop, NULL, IoCtlLoop, NULL);
  for (i = 0; i < 4; ++i) {
    const char* call = strcmp(optCall, "both") != 0 ? optCall : i % 2 == 0 ? "timestamp" : "destruct";
    PduAwait(&inIoCtl, "PDUIoCtl in progress");
    ForkChild(call);
  }
  ioLoop = 0;
  pthread_join(loop, NULL);
  PduCheck("PDUDestruct", Timed("destruct"));
}

static int Run(const char* s) {
  int i;
  if (strcmp(s, "noop") == 0) return 0;
  if (strcmp(optAt, "before-dlopen") == 0) atexit(AtExitDestruct);
  Load();
  if (strcmp(s, "child-probe") == 0) { /* exec'd by a forked child: the port is the parent's */
    Timed("child-construct");
    Timed("child-destruct");
    return 0;
  }
  if (strcmp(optAt, "before-construct") == 0) atexit(AtExitDestruct);
  if (strcmp(s, "dlclose") == 0) {
    char label[32];
    for (i = 0; optCycles[i] != '\0'; ++i) {
      if (i > 0) lib = PduLoad(libPath, &pdu);
      Session();
      if (optCycles[i] == 'D') PduCheck("PDUDestruct", Timed("destruct"));
      snprintf(label, sizeof label, "cycle %d:", i + 1);
      PduUnload(lib, libPath, label);
    }
    return End();
  }
  if (strcmp(s, "second-construct") == 0) {
    char path[512];
    FILE* ini;
    Session();
    snprintf(path, sizeof path, "%s/config.ini", getenv("PDU7318_HOME"));
    ini = fopen(path, "w");
    if (ini == NULL) PduCheck("config.ini", 0xFFFF);
    fputs("[LOG]\nopen=0\n", ini);
    fclose(ini);
    Session();
    PduCheck("PDUDestruct", Timed("destruct"));
    return End();
  }
  if (strncmp(s, "callback-", 9) == 0) {
    if (optCb < 0) optCb = 0; /* they need it */
    armAction = s[9] == 'r' ? 0 : 1;
  }
  Session();
  if (strcmp(optAt, "after-construct") == 0) atexit(AtExitDestruct);
  if (strcmp(s, "probe") == 0) {
    PduCheck("PDUDestruct", Timed("destruct"));
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
      PduAwait(&cbReady, "callback ready to destruct");
      raceGo = 1;
      if (optUs < 0) PduSleepUs(-optUs);
      Timed("destruct");
    }
    PduAwait(&cbActed, "callback's PDUDestruct");
    while (cbStatus == -1) PduSleepUs(200);
    if (strcmp(optThen, "destruct") == 0) Timed("destruct-after");
    if (strcmp(optThen, "construct") == 0) {
      armAction = 0;
      Session();
      PduCheck("PDUDestruct", Timed("destruct"));
    }
  } else if (strcmp(s, "construct-race") == 0) {
    pthread_t other;
    T_PDU_ERROR constructed = 0xFFFF;
    pthread_create(&other, NULL, ConstructThread, &constructed);
    raceGo = 1;
    if (optUs > 0) PduSleepUs(optUs);
    Timed("destruct");
    pthread_join(other, NULL);
    Timed("destruct-after");
  } else if (strcmp(s, "exit-during-destruct") == 0) {
    pthread_t other;
    pthread_attr_t detached; /* exit() comes while it runs: it is never joined */
    if (optCb > 0) {
      Send(mainLink, "22 F1 90", 1);
      PduAwait(&holding, "callback");
    }
    pthread_attr_init(&detached);
    pthread_attr_setdetachstate(&detached, PTHREAD_CREATE_DETACHED);
    pthread_create(&other, &detached, QuietDestructThread, NULL);
    PduAwait(&destructStarted, "PDUDestruct thread");
    PduSleepUs(optUs);
    PduExitStamp();
    exit(optStatus); /* the other thread is still inside PDUDestruct */
  } else if (strcmp(s, "fork") == 0) {
    ForkSchedule();
  } else if (strcmp(s, "fork-busy") == 0) {
    ForkBusySchedule();
  } else if (strcmp(s, "sigterm") == 0) {
    PduSleepUs(optUs);
    PduSay("raising SIGTERM");
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
  if (argc == 4 && strcmp(argv[2], "lifetime") == 0) return Lifetime(argv[3]);
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
