// Raising the receive thread's priority on Linux: the nice value of the
// calling thread only, and a refusal (not a failure of the caller) where
// the user may not lower it.
#include <errno.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstring>
#include <thread>

#include "platform/Platform.h"

namespace pdu::platform {
namespace {

int NiceOf(long tid) {
  errno = 0;
  return ::getpriority(PRIO_PROCESS, static_cast<id_t>(tid));
}

long ThreadId() { return ::syscall(SYS_gettid); }

TEST(ThreadPriority, PermittedRaiseLowersOnlyTheCallingThreadsNiceValueBy5) {
  // A child process, so that this test program's threads keep their nice value.
  const pid_t pid = ::fork();
  if (pid == 0) {
    // Allowed for root; for others only with a nice limit that permits it.
    const rlimit allow{40, 40};  // nice down to -20
    if (::geteuid() != 0 && ::setrlimit(RLIMIT_NICE, &allow) != 0) ::_exit(77);
    const int mainBefore = NiceOf(ThreadId());
    int result = 0;
    std::thread t([&] {
      int error = 0;
      const char* call = "";
      const int before = NiceOf(ThreadId());
      if (!RaiseThreadPriority(error, call)) {
        result = 10;
      } else if (NiceOf(ThreadId()) != before - 5) {
        result = 11;
      }
    });
    t.join();
    if (result == 0 && NiceOf(ThreadId()) != mainBefore) result = 12;
    ::_exit(result);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status));
  if (WEXITSTATUS(status) == 77) GTEST_SKIP() << "RLIMIT_NICE cannot be raised here";
  EXPECT_EQ(WEXITSTATUS(status), 0) << "10 refused, 11 wrong nice value, 12 other thread changed";
}

TEST(ThreadPriority, UnprivilegedRaiseIsRefusedWithTheOsError) {
  const pid_t pid = ::fork();
  if (pid == 0) {
    if (::geteuid() == 0 && (::setgid(65534) != 0 || ::setuid(65534) != 0)) ::_exit(20);
    if (::geteuid() == 0) ::_exit(21);
    const rlimit none{0, 0};
    if (::setrlimit(RLIMIT_NICE, &none) != 0) ::_exit(22);
    int error = 0;
    const char* call = "";
    if (RaiseThreadPriority(error, call)) ::_exit(23);
    if (std::strcmp(call, "setpriority") != 0) ::_exit(24);
    ::_exit(error == EACCES || error == EPERM ? 0 : 25);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0)
      << "20 setuid failed, 22 setrlimit failed, 23 raised, 24 wrong call, 25 wrong error";
}

}  // namespace
}  // namespace pdu::platform
