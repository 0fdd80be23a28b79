// The operating system's side of pacing (http/pacing.h): the variable, the
// seed of the process's jitter and the sleep itself.
#ifndef MGMTFETCH_HTTP_RETRY_WAIT_H_
#define MGMTFETCH_HTTP_RETRY_WAIT_H_

#include <cstdint>

#include "http/pacing.h"

namespace pacing {

// MGMTFETCH_RETRY_WAIT as the run reads it: read once, and an ignored value
// said once on standard error, however many jobs ask.
RetryWait RetryWaitFromEnvironment();

// A seed of its own for every process, from the kernel's random source, so
// that clients started in the same instant draw different waits.
uint64_t ProcessSeed();

// Sleeps `ms` milliseconds on the monotonic clock. A signal whose handler
// returns (or that stops and continues the process) does not shorten it;
// the termination signals end the process as they do during a transfer,
// through their default action or the temporary file's handler.
void SleepMs(int64_t ms);

// The waits between the attempts of one job (one -w or -d): none at all
// unless MGMTFETCH_RETRY_WAIT switches pacing on.
class JobWaits {
 public:
  explicit JobWaits(const char* job);
  bool on() const { return on_; }
  // Before attempt number `attempt`, which follows a failed one that was
  // sent: sleeps as `failure` asks, said first in the trace.
  void Before(int attempt, const Failure& failure);

 private:
  const char* job_;
  bool on_;
  Backoff backoff_;
};

}  // namespace pacing

#endif  // MGMTFETCH_HTTP_RETRY_WAIT_H_
