// Pacing of retries: the variable's values, the waits of a run of failures
// with fixed draws, Retry-After's bounds, and a sleep that signals do not cut.
#include <signal.h>
#include <sys/time.h>

#include <chrono>
#include <cstdint>
#include <vector>

#include <gtest/gtest.h>

#include "http/pacing.h"
#include "http/retry_wait.h"

namespace {

using pacing::Backoff;
using pacing::Failure;
using pacing::Pause;
using pacing::RetryWait;

TEST(Pacing, RetryWaitValues) {
  const struct { const char* text; RetryWait::Kind kind; int seconds; } rows[] = {
      {nullptr, RetryWait::kOff, 0}, {"", RetryWait::kOff, 0}, {"0", RetryWait::kOff, 0},
      {"00", RetryWait::kOff, 0},    {"1", RetryWait::kOn, 1}, {"8", RetryWait::kOn, 8},
      {"08", RetryWait::kOn, 8},     {"3600", RetryWait::kOn, 3600},
      {"0003600", RetryWait::kOn, 3600},
      {"3601", RetryWait::kIgnored, 0}, {"99999", RetryWait::kIgnored, 0},
      {"18446744073709551617", RetryWait::kIgnored, 0}, {"-1", RetryWait::kIgnored, 0},
      {"+5", RetryWait::kIgnored, 0},  {" 5", RetryWait::kIgnored, 0},
      {"5 ", RetryWait::kIgnored, 0},  {"5s", RetryWait::kIgnored, 0},
      {"abc", RetryWait::kIgnored, 0}, {"1e3", RetryWait::kIgnored, 0},
      {"0x10", RetryWait::kIgnored, 0}, {"2.5", RetryWait::kIgnored, 0},
  };
  for (const auto& r : rows) {
    const RetryWait w = pacing::ParseRetryWait(r.text);
    EXPECT_EQ(w.kind, r.kind) << (r.text ? r.text : "(unset)");
    EXPECT_EQ(w.seconds, r.seconds) << (r.text ? r.text : "(unset)");
  }
}

// Draws that return the bound show each limit exactly; draws of 0 show the
// least wait.
const pacing::Draw kTop = [](int64_t bound) { return bound; };
const pacing::Draw kZero = [](int64_t) { return int64_t{0}; };

struct Step {
  Failure failure;
  int64_t top_ms, zero_ms;
  const char* reason;
};

void Follow(int cap_seconds, const std::vector<Step>& steps) {
  Backoff top(cap_seconds), zero(cap_seconds);
  for (size_t i = 0; i < steps.size(); ++i) {
    const Step& s = steps[i];
    const Pause a = top.After(s.failure, kTop), b = zero.After(s.failure, kZero);
    EXPECT_EQ(a.ms, s.top_ms) << "cap " << cap_seconds << ", step " << i;
    EXPECT_EQ(b.ms, s.zero_ms) << "cap " << cap_seconds << ", step " << i;
    EXPECT_STREQ(pacing::ReasonName(a.reason), s.reason) << "step " << i;
  }
}

const Failure kCut{false, 0, 0}, kMoved{true, 0, 0};

TEST(Pacing, BackoffTriplesToTheCapAndStartsOverAfterProgress) {
  Follow(8, {{kCut, 1500, 500, "backoff"},  {kCut, 4500, 500, "backoff"},
             {kCut, 8000, 500, "backoff"},  {kCut, 8000, 500, "backoff"},
             {kMoved, 0, 0, ""},            {kCut, 1500, 500, "backoff"},
             {kCut, 4500, 500, "backoff"},  {kMoved, 0, 0, ""},
             {kMoved, 0, 0, ""},            {kCut, 1500, 500, "backoff"}});
  // A cap that is no multiple of the steps, and one under the first top.
  Follow(3, {{kCut, 1500, 500, "backoff"}, {kCut, 3000, 500, "backoff"},
             {kCut, 3000, 500, "backoff"}});
  Follow(1, {{kCut, 1000, 500, "backoff"}, {kCut, 1000, 500, "backoff"}});
  // A long run at the largest cap neither overflows nor passes it.
  Backoff longest(3600);
  Pause p;
  for (int i = 0; i < 100; ++i) p = longest.After(kCut, kTop);
  EXPECT_EQ(p.ms, 3600 * 1000);
}

TEST(Pacing, RetryAfterOn429And503Only) {
  const Failure busy{false, 503, 2}, limited{false, 429, 1}, error{false, 500, 2},
      moved{true, 503, 2}, zero{false, 503, 0}, past{false, 503, -5}, long_wait{false, 503, 20},
      huge{false, 429, INT64_MAX / 4};
  // At least R, up to three times the run's previous wait, which R starts.
  Follow(8, {{busy, 6000, 2000, "retry-after"}, {limited, 8000, 1000, "retry-after"},
             {kCut, 8000, 500, "backoff"},      {error, 8000, 500, "backoff"},
             {moved, 0, 0, ""},                 {zero, 1500, 500, "backoff"},
             {past, 4500, 500, "backoff"}});
  // Never past the cap, however long the server asks for.
  Follow(8, {{long_wait, 8000, 8000, "retry-after"}, {huge, 8000, 8000, "retry-after"}});
  Follow(9, {{Failure{false, 503, 8}, 9000, 8000, "retry-after"}});
}

TEST(Pacing, RandomStaysWithinItsBounds) {
  pacing::Random random(pacing::ProcessSeed());
  bool top = false;
  for (int i = 0; i < 200; ++i) {
    const int64_t one = random.Upto(1);
    EXPECT_TRUE(one == 0 || one == 1) << one;
    top = top || one == 1;
    const int64_t wide = random.Upto(8000);
    EXPECT_TRUE(wide >= 0 && wide <= 8000) << wide;
  }
  EXPECT_TRUE(top) << "the bound itself is never drawn";
  EXPECT_EQ(random.Upto(0), 0);
  // Every process draws its own waits.
  EXPECT_NE(pacing::ProcessSeed(), pacing::ProcessSeed());
}

extern "C" void Ignore(int) {}

TEST(Pacing, SleepOutlastsACaughtSignal) {
  struct sigaction action {}, saved {};
  action.sa_handler = Ignore;
  sigaction(SIGALRM, &action, &saved);
  struct itimerval fire {};
  fire.it_value.tv_usec = 30 * 1000;
  setitimer(ITIMER_REAL, &fire, nullptr);
  const auto start = std::chrono::steady_clock::now();
  pacing::SleepMs(200);
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
      std::chrono::steady_clock::now() - start).count();
  sigaction(SIGALRM, &saved, nullptr);
  EXPECT_GE(ms, 200);
  EXPECT_LT(ms, 1000);
}

}  // namespace
