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

}  // namespace pacing

#endif  // MGMTFETCH_HTTP_RETRY_WAIT_H_
