#include "http/retry_wait.h"

#include <errno.h>
#include <sys/random.h>
#include <time.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "http/trace.h"

namespace pacing {

constexpr int64_t kNsPerSecond = 1000000000;

RetryWait RetryWaitFromEnvironment() {
  static const RetryWait once = [] {
    const char* text = std::getenv(kRetryWaitVariable);
    const RetryWait wait = ParseRetryWait(text);
    if (wait.kind == RetryWait::kIgnored) {
      const std::string line = IgnoredLine(text);
      // Nothing to do about a standard error that cannot be written.
      const ssize_t ignored = write(STDERR_FILENO, line.data(), line.size());
      (void)ignored;
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
  struct timespec now {};
  clock_gettime(CLOCK_MONOTONIC, &now);
  // The monotonic clock counts from boot: its nanoseconds, a wait of an
  // hour added, stay far inside int64_t.
  const int64_t end = int64_t{now.tv_sec} * kNsPerSecond + now.tv_nsec + ms * 1000000;
  struct timespec until {};
  until.tv_sec = static_cast<time_t>(end / kNsPerSecond);
  until.tv_nsec = static_cast<long>(end % kNsPerSecond);
  // An absolute end: a sleep resumed after a signal does not start over.
  while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, nullptr) == EINTR) {
  }
}

JobWaits::JobWaits(const char* job)
    : job_(job), on_(RetryWaitFromEnvironment().kind == RetryWait::kOn),
      backoff_(RetryWaitFromEnvironment().seconds) {}

void JobWaits::Before(int attempt, const Failure& failure) {
  if (!on_) return;
  // One sequence for the run, seeded only once a run paces at all.
  static Random random(ProcessSeed());
  const Pause pause =
      backoff_.After(failure, [](int64_t bound) { return random.Upto(bound); });
  if (pause.reason == Pause::kNone) return;
  if (trace::On())
    trace::Emit("wait", {{"job", job_}, {"ms", static_cast<long long>(pause.ms)},
                         {"reason", ReasonName(pause.reason)}, {"attempt", attempt}});
  SleepMs(pause.ms);
}

}  // namespace pacing
