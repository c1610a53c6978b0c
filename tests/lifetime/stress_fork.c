/* The fork schedules of stress_client: a child that never uses the API
 * (exit, _exit, exec) or calls it afresh, forked from an idle or busy
 * parent, and children forked while a thread of the parent is inside an
 * API call. The parent checks how the child ended and how long it took,
 * and that its own session goes on. */
#define _GNU_SOURCE
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include "stress_client.h"

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
  if (leavesAtNs) *leavesAtNs = NowNs();
}

/* Keeps a thread inside PDUIoCtl (which holds the ApiLock for the VCI's
 * round trip) while the main thread forks. */
static void* IoCtlLoop(void* arg) {
  CHAR8 name[] = "PDU_IOCTL_READ_VBATT";
  UNUM32 id = 0;
  (void)arg;
  Check("PDUGetObjectId", GetObjectId(PDU_OBJT_IO_CTRL, name, &id));
  while (ioLoop) {
    PDU_DATA_ITEM* out = NULL;
    inIoCtl = 1;
    IoCtl(1, PDU_ID_UNDEF, id, NULL, &out);
    inIoCtl = 0;
    if (out != NULL) DestroyItem((PDU_ITEM*)out);
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
  long long end = NowNs() + 3000000000LL;
  LogPath(0, path, sizeof path);
  while (copsFinished < vinAnswers && NowNs() < end) SleepUs(1000);
  while (NowNs() < end) {
    FILE* f = fopen(path, "rb");
    size_t n = 0;
    if (f != NULL && fseek(f, -(long)(sizeof last - 1), SEEK_END) == 0) n = fread(tail, 1, sizeof last - 1, f);
    if (f != NULL) fclose(f);
    if (f == NULL || (n == sizeof last - 1 && memcmp(tail, last, n) == 0)) return;
    SleepUs(1000);
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
    TimedConstruct("child-construct");
    TimedDestruct("child-destruct");
    exit(0);
  }
  if (strcmp(how, "timestamp") == 0) {
    UNUM32 ts = 0;
    long long t0 = NowNs();
    T_PDU_ERROR st = Timestamp(1, &ts);
    Say("call child-timestamp 0x%X %.1f", (unsigned)st, (NowNs() - t0) / 1e6);
    exit(0);
  }
  if (strcmp(how, "destruct") == 0) {
    TimedDestruct("child-destruct");
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
    if (page == MAP_FAILED) Fail("mmap", 0);
    leavesAtNs = page;
  }
  *leavesAtNs = 0;
  t0 = NowNs();
  pid = fork();
  if (pid < 0) Fail("fork", 0);
  if (pid == 0) Child(how);
  if (waitpid(pid, &ws, 0) != pid) Fail("waitpid", 0);
  if (WIFSIGNALED(ws)) {
    Say("child died of signal %d", WTERMSIG(ws));
  } else {
    long long end = NowNs();
    long long left = *leavesAtNs ? *leavesAtNs : t0;
    Say("child %s: status %d in %.1f ms (%.1f ms after fork)", how, WEXITSTATUS(ws), (end - left) / 1e6,
        (end - t0) / 1e6);
  }
}

void ForkSchedule(void) {
  long long before;
  if (strcmp(optLoad, "idle") == 0) AwaitQuietLog();
  before = LogBytes();
  ForkChild(optChild);
  if (strcmp(optLoad, "idle") == 0) Say("log grew by %lld bytes", LogBytes() - before);
  AskVin(mainLink); /* the parent's session goes on */
  Check("PDUDestruct", TimedDestruct("destruct"));
}

void ForkBusySchedule(void) {
  pthread_t loop;
  int i;
  ioLoop = 1;
  pthread_create(&loop, NULL, IoCtlLoop, NULL);
  for (i = 0; i < 4; ++i) {
    const char* call = strcmp(optCall, "both") != 0 ? optCall : i % 2 == 0 ? "timestamp" : "destruct";
    Await(&inIoCtl, "PDUIoCtl in progress");
    ForkChild(call);
  }
  ioLoop = 0;
  pthread_join(loop, NULL);
  Check("PDUDestruct", TimedDestruct("destruct"));
}
