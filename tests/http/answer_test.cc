// The rules that read a package answer's head, as tables.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "http/answer.h"

namespace {

TEST(AnswerHead, StatusLinesAndHeaderValues) {
  const struct { const char* line; long status; } statuses[] = {
      {"HTTP/1.1 206 Partial Content\r\n", 206}, {"HTTP/2 200 \r\n", 200},
      {"HTTP/1.1 304", 304}, {"HTTP/1.1 20 OK\r\n", 0}, {"HTTP/1.1 2000 OK\r\n", 0},
      {"HTTP/1.1 2x0 OK\r\n", 0}, {"HTTP/1.1\r\n", 0}, {"Age: 200\r\n", 0},
  };
  for (const auto& r : statuses) EXPECT_EQ(StatusOfLine(r.line), r.status) << r.line;
  // nullptr: not an ETag header, the value is left alone.
  const struct { const char* line; const char* value; } etags[] = {
      {"ETag: \"v1\"\r\n", "\"v1\""}, {"etag:\t\"v1\" \r\n", "\"v1\""},
      {"ETAG:\"v1\"\n", "\"v1\""}, {"ETag:\r\n", ""}, {"ETags: \"v1\"\r\n", nullptr},
      {"X-ETag: \"v1\"\r\n", nullptr}, {"ETag \"v1\"\r\n", nullptr}, {"ETag", nullptr},
  };
  for (const auto& r : etags) {
    std::string value = "untouched";
    EXPECT_EQ(HeaderValue(r.line, "ETag", &value), r.value != nullptr) << r.line;
    EXPECT_EQ(value, r.value ? r.value : "untouched") << r.line;
  }
}

TEST(AnswerHead, ContentRanges) {
  const struct { const char* value; int64_t first, last, complete; } good[] = {
      {"bytes 5-9/100", 5, 9, 100}, {"bytes 0-0/1", 0, 0, 1},
      {"bytes  70000-199999/200000", 70000, 199999, 200000},
      {"bytes 999999999999999998-999999999999999998/999999999999999999",
       999999999999999998, 999999999999999998, 999999999999999999},
  };
  for (const auto& r : good) {
    ByteRange range;
    ASSERT_TRUE(ParseContentRange(r.value, &range)) << r.value;
    EXPECT_EQ((std::vector<int64_t>{range.first, range.last, range.complete}),
              (std::vector<int64_t>{r.first, r.last, r.complete})) << r.value;
  }
  for (const char* bad : {"bytes 5-9/*", "bytes */10", "bytes 9-5/10", "bytes 5-10/10",
                          "bytes=5-9/10", "bytes 5-9/10 x", "5-9/10", "bytes -5-9/10",
                          "bytes 5-/10", "bytes -9/10",
                          "bytes 1000000000000000000-1000000000000000000/1000000000000000001"}) {
    ByteRange range;
    EXPECT_FALSE(ParseContentRange(bad, &range)) << bad;
    EXPECT_EQ(range.first, -1) << bad;
  }
}

TEST(AnswerHead, ValidatorsAndVerdicts) {
  const char* date = "Mon, 08 Feb 2021 15:15:30 GMT";
  const struct { const char* etag; const char* modified; const char* want; } validators[] = {
      {"\"v1\"", date, "\"v1\""}, {"\"v1\"", "", "\"v1\""}, {"W/\"v1\"", date, date},
      {"", date, date}, {"W/\"v1\"", "", ""}, {"", "", ""},
  };
  for (const auto& r : validators) EXPECT_EQ(ResumeValidator(r.etag, r.modified), r.want) << r.etag;
  const Verdict take = Verdict::kTake, stale = Verdict::kStale, reject = Verdict::kReject;
  const struct { long status; int64_t offset, first; Verdict want; } verdicts[] = {
      {200, 0, -1, take}, {203, 0, -1, take}, {200, 0, 0, take}, {204, 0, -1, reject},
      {205, 0, -1, reject}, {206, 0, 0, reject}, {300, 0, -1, reject}, {304, 0, -1, reject},
      {404, 0, -1, reject}, {199, 0, -1, reject}, {206, 70, 70, take}, {206, 70, 0, stale},
      {206, 70, 71, stale}, {206, 70, -1, stale}, {200, 70, 70, stale}, {204, 70, -1, stale},
      {416, 70, -1, stale}, {503, 70, -1, reject}, {302, 70, 70, reject}, {0, 70, -1, reject},
  };
  for (const auto& r : verdicts) {
    ByteRange range;
    range.first = r.first;
    EXPECT_EQ(JudgeAnswer(r.status, r.offset, range), r.want)
        << r.status << " at " << r.offset << " from " << r.first;
  }
}

}  // namespace
