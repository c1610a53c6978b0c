/* What stress_client.c (the schedules) and stress_fork.c (the fork
 * schedules) share: the library's entry points, the schedule's keys, the
 * answer counters and the small helpers. */
#ifndef STRESS_CLIENT_H
#define STRESS_CLIENT_H

#include "pdu_client.h"

/* The library (dlopen'd from libPath) and what the fork schedules call. */
extern const char* libPath;
extern GetObjectIdFn GetObjectId;
extern DestroyItemFn DestroyItem;
extern IoCtlFn IoCtl;
extern TimestampFn Timestamp;

/* Keys of the schedule (see stress_client.c). */
extern const char *optLoad, *optChild, *optCall;

/* Answers to 22 F1 90 and FINISHED items seen on the main link (the ISO
 * 15765 link of the last session). */
extern _Atomic int vinAnswers, copsFinished;
extern _Atomic UNUM32 mainLink;

void Say(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
long long NowNs(void);
void SleepUs(long us);
void Await(_Atomic int* flag, const char* what);
void Fail(const char* what, T_PDU_ERROR status);
void Check(const char* what, T_PDU_ERROR status);
T_PDU_ERROR TimedConstruct(const char* what);
T_PDU_ERROR TimedDestruct(const char* what);
void AskVin(UNUM32 hCLL);

/* stress_fork.c: the fork and fork-busy schedules, after the session. */
void ForkSchedule(void);
void ForkBusySchedule(void);

#endif
