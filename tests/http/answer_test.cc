// The rules that read a package answer's head, as tables.
#include <string>

#include <gtest/gtest.h>

#include "http/answer.h"

namespace {

TEST(AnswerHead, StatusLines) {
  const struct { const char* line; long status; } rows[] = {
      {"HTTP/1.1 206 Partial Content\r\n", 206}, {"HTTP/2 200 \r\n", 200},
      {"HTTP/1.0 304\r\n", 304}, {"HTTP/1.1 304", 304}, {"HTTP/1.1 20 OK\r\n", 0},
      {"HTTP/1.1 2000 OK\r\n", 0}, {"HTTP/1.1 2x0 OK\r\n", 0}, {"HTTP/1.1\r\n", 0},
      {"X-Status: HTTP/1.1 200 OK\r\n", 0}, {"\r\n", 0},
  };
  for (const auto& r : rows) EXPECT_EQ(StatusOfLine(r.line), r.status) << r.line;
}

TEST(AnswerHead, HeaderValues) {
  const struct { const char* line; bool found; const char* value; } rows[] = {
      {"ETag: \"v1\"\r\n", true, "\"v1\""}, {"etag:\t\"v1\" \r\n", true, "\"v1\""},
      {"ETAG:\"v1\"\n", true, "\"v1\""}, {"ETag:\r\n", true, ""},
      {"ETags: \"v1\"\r\n", false, ""}, {"X-ETag: \"v1\"\r\n", false, ""},
      {"ETag \"v1\"\r\n", false, ""}, {"ETag", false, ""},
  };
  for (const auto& r : rows) {
    std::string value = "untouched";
    EXPECT_EQ(HeaderValue(r.line, "ETag", &value), r.found) << r.line;
    EXPECT_EQ(value, r.found ? r.value : "untouched") << r.line;
  }
}

TEST(AnswerHead, ContentRanges) {
  const struct { const char* value; bool ok; int64_t first, last, complete; } rows[] = {
      {"bytes 5-9/10", true, 5, 9, 10}, {"bytes 0-0/1", true, 0, 0, 1},
      {"bytes  70000-199999/200000", true, 70000, 199999, 200000},
      {"bytes 999999999999999998-999999999999999998/999999999999999999", true,
       999999999999999998, 999999999999999998, 999999999999999999},
      {"bytes 5-9/*", false, -1, -1, -1}, {"bytes */10", false, -1, -1, -1}, {"bytes 9-5/10", false, -1, -1, -1},
      {"bytes 5-10/10", false, -1, -1, -1}, {"bytes=5-9/10", false, -1, -1, -1}, {"bytes 5-9/10 x", false, -1, -1, -1},
      {"5-9/10", false, -1, -1, -1}, {"bytes -5-9/10", false, -1, -1, -1}, {"bytes 5-/10", false, -1, -1, -1},
      {"bytes 1000000000000000000-1000000000000000000/1000000000000000001", false, -1, -1, -1},
  };
  for (const auto& r : rows) {
    ByteRange range;
    EXPECT_EQ(ParseContentRange(r.value, &range), r.ok) << r.value;
    EXPECT_EQ(range.first, r.first) << r.value;
    EXPECT_EQ(range.last, r.last) << r.value;
    EXPECT_EQ(range.complete, r.complete) << r.value;
  }
}

TEST(AnswerHead, ResumeValidators) {
  const char* date = "Mon, 08 Feb 2021 15:15:30 GMT";
  const struct { const char* etag; const char* modified; const char* want; } rows[] = {
      {"\"v1\"", date, "\"v1\""}, {"\"v1\"", "", "\"v1\""}, {"W/\"v1\"", date, date},
      {"", date, date}, {"W/\"v1\"", "", ""}, {"", "", ""},
  };
  for (const auto& r : rows) EXPECT_EQ(ResumeValidator(r.etag, r.modified), r.want) << r.etag;
}

TEST(AnswerHead, Verdicts) {
  const Verdict take = Verdict::kTake, stale = Verdict::kStale, reject = Verdict::kReject;
  const struct { long status; int64_t offset, first; Verdict want; } rows[] = {
      {200, 0, -1, take}, {203, 0, -1, take}, {200, 0, 0, take}, {204, 0, -1, reject},
      {205, 0, -1, reject}, {206, 0, 0, reject}, {206, 0, -1, reject}, {300, 0, -1, reject},
      {302, 0, -1, reject}, {304, 0, -1, reject}, {404, 0, -1, reject}, {199, 0, -1, reject},
      {0, 0, -1, reject}, {206, 70, 70, take}, {206, 70, 0, stale}, {206, 70, 71, stale},
      {206, 70, -1, stale}, {200, 70, -1, stale}, {200, 70, 70, stale}, {204, 70, -1, stale},
      {416, 70, -1, stale}, {503, 70, -1, reject}, {302, 70, 70, reject}, {0, 70, -1, reject},
  };
  for (const auto& r : rows) {
    ByteRange range;
    range.first = r.first;
    EXPECT_EQ(JudgeAnswer(r.status, r.offset, range), r.want)
        << r.status << " at " << r.offset << " from " << r.first;
  }
}

}  // namespace
