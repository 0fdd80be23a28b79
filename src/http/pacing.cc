#include "http/pacing.h"

#include <algorithm>

namespace pacing {

RetryWait ParseRetryWait(const char* text) {
  RetryWait wait;
  if (text == nullptr || *text == '\0') return wait;
  long value = 0;
  for (const char* c = text; *c != '\0'; ++c) {
    // Plain ASCII digits only: no sign, blank or unit, whatever strtol allows.
    if (*c < '0' || *c > '9') {
      wait.kind = RetryWait::kIgnored;
      return wait;
    }
    // Stops growing past the limit, so that no length of digits overflows.
    if (value <= kMaxRetryWaitSeconds) value = value * 10 + (*c - '0');
  }
  if (value == 0) return wait;
  if (value > kMaxRetryWaitSeconds) {
    wait.kind = RetryWait::kIgnored;
    return wait;
  }
  wait.kind = RetryWait::kOn;
  wait.seconds = static_cast<int>(value);
  return wait;
}

std::string IgnoredLine(const char* text) {
  return std::string("mgmtfetch: ") + kRetryWaitVariable + "=" + text +
         " is ignored: give whole seconds from 1 to " + std::to_string(kMaxRetryWaitSeconds) +
         "\n";
}

int64_t Random::Upto(int64_t bound) {
  if (bound <= 0) return 0;
  return std::uniform_int_distribution<int64_t>(0, bound)(engine_);
}

const char* ReasonName(Pause::Reason reason) {
  switch (reason) {
    case Pause::kBackoff:
      return "backoff";
    case Pause::kRetryAfter:
      return "retry-after";
    case Pause::kNone:
      break;
  }
  return "";
}

Pause Backoff::After(const Failure& failure, const Draw& draw) {
  Pause pause;
  if (failure.progressed) {
    last_ms_ = 0;
    return pause;
  }
  int64_t floor = kFloorMs;
  pause.reason = Pause::kBackoff;
  // Only these two statuses ask a client to come back later; a Retry-After
  // on any other answer says nothing about when the server will serve.
  if ((failure.status == 429 || failure.status == 503) && failure.retry_after > 0) {
    // No overflow: a value past the cap is the cap.
    floor = std::min(failure.retry_after, cap_ms_ / 1000 + 1) * 1000;
    pause.reason = Pause::kRetryAfter;
  }
  floor = std::min(floor, cap_ms_);
  // last_ms_ never passes the cap, so three times it cannot overflow.
  const int64_t top = std::min(cap_ms_, 3 * std::max(last_ms_, floor));
  pause.ms = floor + draw(top - floor);
  last_ms_ = pause.ms;
  return pause;
}

}  // namespace pacing
