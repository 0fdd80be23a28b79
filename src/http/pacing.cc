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
    failures_ = 0;
    return pause;
  }
  ++failures_;
  // Only these two statuses ask a client to come back later; a Retry-After
  // on any other answer says nothing about when the server will serve.
  if ((failure.status == 429 || failure.status == 503) && failure.retry_after > 0) {
    // No overflow: a value past the cap is the cap.
    const int64_t least = std::min(failure.retry_after, cap_ms_ / 1000 + 1) * 1000;
    pause.reason = Pause::kRetryAfter;
    pause.ms = std::min(cap_ms_, least + draw(least / 4));
    return pause;
  }
  // 500 ms doubled failures_ - 1 times, stopped at the cap before it can
  // overflow.
  int64_t limit = kFirstLimitMs;
  for (int i = 1; i < failures_ && limit < cap_ms_; ++i) limit *= 2;
  pause.reason = Pause::kBackoff;
  pause.ms = draw(std::min(limit, cap_ms_));
  return pause;
}

}  // namespace pacing
