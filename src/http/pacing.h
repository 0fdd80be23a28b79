// How long a job waits before it tries again, when MGMTFETCH_RETRY_WAIT asks
// for pacing: the rules only, no clock and no randomness of their own, so
// that every wait can be checked by table. The clock, the sleep and the
// process's random seed live in http/retry_wait.h.
//
// Immediate retries spend the whole budget in milliseconds and ride out no
// outage; a fleet that retries at once, or in step, turns a short outage
// into a storm. So:
//  - after a failed attempt that kept new bytes, no wait, and the run of
//    failures starts over: the link works, the next resume goes on at once;
//  - otherwise decorrelated jitter: each wait is drawn uniformly from
//    [floor, 3 x the previous wait of the run], never above the cap (the
//    variable's value). The floor is 500 ms, and the run's first wait is
//    drawn as if the previous one had been the floor;
//  - a 429 or 503 with Retry-After R (seconds, > 0) raises the floor to R:
//    the server said when it may serve, and the spread above R keeps a fleet
//    told the same R from coming back in one instant. The cap wins over R:
//    the variable is the longest any one wait may last.
// Decorrelated rather than full jitter: with full jitter from 500 ms, a
// fleet facing a 3 s outage spent about 5 connections a client, against
// under 4; and waits of R plus a quarter brought 200 clients turned away
// by a 20 requests/s server back in half-second waves, at about 5 requests
// a client, against 3 (bench/fleet).
#ifndef MGMTFETCH_HTTP_PACING_H_
#define MGMTFETCH_HTTP_PACING_H_

#include <cstdint>
#include <functional>
#include <random>
#include <string>

namespace pacing {

constexpr char kRetryWaitVariable[] = "MGMTFETCH_RETRY_WAIT";
constexpr int kMaxRetryWaitSeconds = 3600;
constexpr int64_t kFloorMs = 500;

// The variable's value: off (unset, empty or zero), on with the longest
// wait in seconds (a whole number 1..3600 in plain decimal digits, leading
// zeros allowed), or ignored: anything else, signs, blanks and units
// included, which leaves pacing off and is said once on standard error.
struct RetryWait {
  enum Kind { kOff, kOn, kIgnored } kind = kOff;
  int seconds = 0;
};
RetryWait ParseRetryWait(const char* text);

// The one line that says a value is ignored, newline included.
std::string IgnoredLine(const char* text);

// A whole number drawn uniformly from [0, bound]. The program's comes from
// Random, seeded per process; tests pass fixed ones.
using Draw = std::function<int64_t(int64_t bound)>;

// A seeded generator behind Draw: one per process, so that a fleet's clients
// do not share a sequence.
class Random {
 public:
  explicit Random(uint64_t seed) : engine_(seed) {}
  int64_t Upto(int64_t bound);

 private:
  std::mt19937_64 engine_;
};

// What a failed attempt met, as far as its wait goes.
struct Failure {
  bool progressed = false;  // it kept new bytes: the resume moved forward
  long status = 0;          // the last answer's HTTP status (0: none)
  int64_t retry_after = 0;  // seconds libcurl read from Retry-After (<= 0: none)
};

struct Pause {
  enum Reason { kNone, kBackoff, kRetryAfter } reason = kNone;
  int64_t ms = 0;
};

// The trace's word for a reason: "backoff" or "retry-after" ("" for none).
const char* ReasonName(Pause::Reason reason);

// The waits of one job (one -w or -d): the cap and the run of failures.
class Backoff {
 public:
  explicit Backoff(int cap_seconds) : cap_ms_(int64_t{cap_seconds} * 1000) {}
  // The wait before the attempt that follows `failure`.
  Pause After(const Failure& failure, const Draw& draw);

 private:
  int64_t cap_ms_;
  int64_t last_ms_ = 0;  // the previous wait of this run of failures in a row
                         // (0: none since the job began or last progressed)
};

}  // namespace pacing

#endif  // MGMTFETCH_HTTP_PACING_H_
