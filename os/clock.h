#ifndef KV_OS_CLOCK_H_
#define KV_OS_CLOCK_H_

#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <cstdint>

/// Milliseconds on a clock that only moves forward, whatever happens to the
/// time of day: for intervals within one run.
inline int64_t monotonicMs() {
  struct timespec now = {};
  // The system call itself: glibc's clock_gettime() carries symbol version
  // GLIBC_2.17 on x86-64, above all that the shipped bootstrap needs besides.
  syscall(SYS_clock_gettime, CLOCK_MONOTONIC, &now);
  return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

#endif  // KV_OS_CLOCK_H_
