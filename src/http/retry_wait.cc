#include "http/retry_wait.h"

#include <errno.h>
#include <sys/random.h>
#include <time.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

namespace pacing {

RetryWait RetryWaitFromEnvironment() {
  static const RetryWait once = [] {
    const char* text = std::getenv(kRetryWaitVariable);
    const RetryWait wait = ParseRetryWait(text);
    if (wait.kind == RetryWait::kIgnored) {
      const std::string line = IgnoredLine(text);
      // Nothing to do about a standard error that cannot be written.
      if (write(STDERR_FILENO, line.data(), line.size()) < 0) return wait;
    }
    return wait;
  }();
  return once;
}

uint64_t ProcessSeed() {
  uint64_t seed = 0;
  if (getrandom(&seed, sizeof seed, GRND_NONBLOCK) == sizeof seed) return seed;
  // Early in boot the pool may not be ready: the pid and the clock's
  // nanoseconds still tell apart clients started together.
  struct timespec now {};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return (static_cast<uint64_t>(getpid()) << 32) ^ static_cast<uint64_t>(now.tv_nsec) ^
         static_cast<uint64_t>(now.tv_sec);
}

void SleepMs(int64_t ms) {
  if (ms <= 0) return;
  struct timespec until {};
  clock_gettime(CLOCK_MONOTONIC, &until);
  until.tv_sec += static_cast<time_t>(ms / 1000);
  until.tv_nsec += static_cast<long>(ms % 1000) * 1000000L;
  if (until.tv_nsec >= 1000000000L) {
    ++until.tv_sec;
    until.tv_nsec -= 1000000000L;
  }
  // An absolute end: a sleep resumed after a signal does not start over.
  while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, nullptr) == EINTR) {
  }
}

}  // namespace pacing
