// How an ended answer leaves a download: the result and what becomes of the
// bytes, for every verdict and way of ending.
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "http/download.h"

namespace {

TEST(Settle, TheVerdictAndTheEndDecideResultAndBytes) {
  using V = Verdict;
  using R = DownloadResult;
  struct Row {
    const char* name;
    AnswerEnd end;
    R result;
    Keep keep;
    bool short_body = false;
  };
  // end: verdict, finished, written, offset, size, complete, identified, seam broken.
  const Row rows[] = {
      {"no answer", {V::kReject, false, 0, 70, 70, 200, false}, R::kFailed, Keep::kBytes},
      {"error page", {V::kReject, true, 0, 70, 70, 200, true}, R::kFailed, Keep::kBytes},
      {"not the package after it wrote", {V::kReject, true, 5, 0, 5, -1, true}, R::kFailed,
       Keep::kNothing},
      {"stale", {V::kStale, true, 0, 70, 70, 200, true}, R::kStale, Keep::kNothing},
      {"whole", {V::kTake, true, 200, 0, 200, -1, false}, R::kComplete, Keep::kBytes},
      {"rest", {V::kTake, true, 130, 70, 200, 200, false}, R::kComplete, Keep::kBytes},
      {"rest, still short", {V::kTake, true, 100, 70, 170, 200, true}, R::kStale, Keep::kNothing,
       true},
      {"rest, cut", {V::kTake, false, 50, 70, 120, 200, false}, R::kFailed, Keep::kBytes},
      {"cut, resumable", {V::kTake, false, 50, 0, 50, -1, true}, R::kFailed, Keep::kNewIdentity},
      {"cut, no identity", {V::kTake, false, 50, 0, 50, -1, false}, R::kFailed, Keep::kNothing},
      {"rest after other bytes", {V::kTake, false, 0, 70, 70, 200, true, true}, R::kStale,
       Keep::kNothing},
  };
  for (const Row& r : rows) {
    const Settlement s = Settle(r.end);
    EXPECT_EQ(s.result, r.result) << r.name;
    EXPECT_EQ(s.keep, r.keep) << r.name;
    EXPECT_EQ(s.short_body, r.short_body) << r.name;
  }
}

TEST(Seam, TheOverlapIsComparedAndNeverPassedOn) {
  struct Row {
    const char* name;
    const char* tail;  // the kept bytes asked again
    std::vector<std::string> chunks;
    std::vector<size_t> overlap;  // of each chunk
    bool matched, differs;
  };
  const Row rows[] = {
      {"nothing asked", "", {"rest"}, {0}, true, false},
      {"in one chunk, with the rest", "abc", {"abcde"}, {3}, true, false},
      {"across chunks", "abcd", {"a", "bc", "def"}, {1, 2, 1}, true, false},
      {"exactly the overlap", "abc", {"abc", "d"}, {3, 0}, true, false},
      {"not all of it yet", "abcd", {"ab"}, {2}, false, false},
      {"first byte differs", "abc", {"xbcd"}, {3}, false, true},
      {"last byte differs", "abc", {"ab", "xd"}, {2, 1}, false, true},
      {"a difference stays", "abc", {"x", "bc", "d"}, {1, 2, 0}, false, true},
  };
  for (const Row& r : rows) {
    Seam seam(r.tail);
    EXPECT_EQ(seam.asked(), static_cast<int64_t>(std::strlen(r.tail))) << r.name;
    std::vector<size_t> taken;
    for (const std::string& c : r.chunks) taken.push_back(seam.Take(c.data(), c.size()));
    EXPECT_EQ(taken, r.overlap) << r.name;
    EXPECT_EQ(seam.matched(), r.matched) << r.name;
    EXPECT_EQ(seam.differs(), r.differs) << r.name;
  }
}

}  // namespace
