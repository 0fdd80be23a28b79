// What a package answer proves about its bytes, as tables.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "http/answer.h"

namespace {

const char kUrl[] = "http://127.0.0.1:8080/linuxsetup/a.run";
const char kOld[] = "Mon, 08 Feb 2021 15:15:30 GMT";     // 1612797330
const char kMinute[] = "Mon, 08 Feb 2021 15:16:30 GMT";  // 60 s later
const char kSoon[] = "Mon, 08 Feb 2021 15:16:29 GMT";    // 59 s later

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
                          "bytes 5-/10", "bytes -9/10", "",
                          "bytes 1000000000000000000-1000000000000000000/1000000000000000001"}) {
    ByteRange range;
    EXPECT_FALSE(ParseContentRange(bad, &range)) << bad;
    EXPECT_EQ(range.first, -1) << bad;
  }
}

TEST(AnswerHead, EntityTagsDatesAndHeaderValues) {
  for (const char* good : {"\"v1\"", "\"\"", "\"a\xff!#~\"", "\"5f3e-1a2b\""})
    EXPECT_TRUE(WellFormedEntityTag(good)) << good;
  for (const char* bad : {"v1", "\"v1", "v1\"", "\"", "W/\"v1\"", "\"a b\"", "\"a\rX-I: e\"",
                          "\"a\"b\"", "\"a\x7f\"", "\"\t\"", "\"a\"\r\nX-I: e"})
    EXPECT_FALSE(WellFormedEntityTag(bad)) << bad;

  const struct { const char* text; int64_t seconds; } dates[] = {
      {"Sun, 06 Nov 1994 08:49:37 GMT", 784111777}, {kOld, 1612797330},
      {"Thu, 29 Feb 2024 23:59:60 GMT", 1709251200}, {"Thu, 01 Jan 1970 00:00:00 GMT", 0},
  };
  for (const auto& r : dates) {
    int64_t seconds = -1;
    EXPECT_TRUE(ParseHttpDate(r.text, &seconds)) << r.text;
    EXPECT_EQ(seconds, r.seconds) << r.text;
  }
  for (const char* bad : {"Sunday, 06-Nov-94 08:49:37 GMT", "Sun Nov  6 08:49:37 1994",
                          "Sun, 06 Nov 1994 08:49:37 UTC", "Sun, 31 Apr 1994 08:49:37 GMT",
                          "Wed, 29 Feb 2023 08:49:37 GMT", "Sun, 06 Nov 1994 24:00:00 GMT",
                          "Sun, 06 Nov 1994 08:60:37 GMT", "Xyz, 06 Nov 1994 08:49:37 GMT",
                          "Sun, 06 Nox 1994 08:49:37 GMT", "Sun, 6 Nov 1994 08:49:37 GMT",
                          "Sun, 00 Nov 1994 08:49:37 GMT", "Sun, 06 Nov 1994 08:49:37 GMT\r",
                          "Sun, 06 Nov 1994 08:49:37 GMT\rX: y", ""}) {
    int64_t seconds = -1;
    EXPECT_FALSE(ParseHttpDate(bad, &seconds)) << bad;
  }
  for (const char* good : {"\"v1\"", "a\tb", "", "\xff"}) EXPECT_TRUE(SafeHeaderValue(good));
  for (const char* bad : {"\"v1\"\rX: y", "a\nb", "\x7f", "\x1f"}) EXPECT_FALSE(SafeHeaderValue(bad));
}

AnswerHead Head(long status, const char* etag, const char* modified, const char* date,
                int64_t first = -1, int64_t complete = -1, int64_t length = -1) {
  AnswerHead head;
  head.status = status;
  head.url = kUrl;
  head.etag = etag;
  head.last_modified = modified;
  head.date = date;
  head.range.first = first;
  head.range.last = complete - 1;
  head.range.complete = complete;
  head.length = length;
  return head;
}

TEST(AnswerHead, Identities) {
  // validator "" : no identity, the bytes cannot be resumed.
  const struct { AnswerHead head; const char* validator; bool by_date; int64_t complete; } rows[] = {
      {Head(200, "\"v1\"", kOld, kSoon, -1, -1, 500), "\"v1\"", false, 500},
      {Head(200, "", kOld, kMinute, -1, -1, 500), kOld, true, 500},
      {Head(200, "W/\"v1\"", kOld, kMinute, -1, -1, 500), kOld, true, 500},
      {Head(200, "", kOld, kSoon, -1, -1, 500), "", false, 0},
      {Head(200, "", kOld, kOld, -1, -1, 500), "", false, 0},
      {Head(200, "", kOld, "", -1, -1, 500), "", false, 0},
      {Head(200, "", kMinute, kOld, -1, -1, 500), "", false, 0},
      {Head(200, "W/\"v1\"", "", kMinute, -1, -1, 500), "", false, 0},
      // A broken ETag is no reason to trust the date beside it.
      {Head(200, "\"v1\"\rX-I: e", kOld, kMinute, -1, -1, 500), "", false, 0},
      {Head(200, "v1", kOld, kMinute, -1, -1, 500), "", false, 0},
      {Head(200, "\"v1\"", kOld, kMinute), "", false, 0},  // length unknown (chunked)
      {Head(200, "\"v1\"", kOld, kMinute, -1, -1, 0), "", false, 0},
      {Head(206, "\"v1\"", "", "", 100, 900, 800), "\"v1\"", false, 900},
      {Head(206, "\"v1\"", "", "", -1, -1, 800), "", false, 0},
  };
  for (const auto& r : rows) {
    PackageIdentity id;
    id.complete = 7;
    EXPECT_EQ(IdentityOf(r.head, &id), *r.validator != '\0') << r.head.etag << r.head.date;
    if (*r.validator == '\0') {
      EXPECT_EQ(id.complete, 7);  // left alone
      continue;
    }
    EXPECT_EQ(id.validator, r.validator);
    EXPECT_EQ(id.by_date, r.by_date);
    EXPECT_EQ(id.complete, r.complete);
    EXPECT_EQ(id.url, kUrl);
  }
  AnswerHead nowhere = Head(200, "\"v1\"", "", "", -1, -1, 500);
  nowhere.url.clear();
  PackageIdentity id;
  EXPECT_FALSE(IdentityOf(nowhere, &id));
}

TEST(AnswerHead, Verdicts) {
  const Verdict take = Verdict::kTake, stale = Verdict::kStale, reject = Verdict::kReject;
  // 70000 bytes kept: the rest is asked from 64 KiB before them, at 4464.
  const int64_t k = 70000, at = k - 65536, whole = 200000;
  const PackageIdentity none, tag{kUrl, "\"v1\"", false, whole}, date{kUrl, kOld, true, whole};
  AnswerHead mirror = Head(206, "\"v1\"", "", "", at, whole);
  mirror.url = "http://127.0.0.1:8080/linuxsetup/c/a.run";
  AnswerHead short_part = Head(206, "\"v1\"", "", "", at, whole);
  short_part.range.last = 80000;
  const struct { AnswerHead head; int64_t offset; const PackageIdentity& kept; Verdict want; } rows[] = {
      // The whole package, asked without a range.
      {Head(200, "", "", ""), 0, none, take}, {Head(203, "", "", ""), 0, none, take},
      {Head(204, "", "", ""), 0, none, reject}, {Head(205, "", "", ""), 0, none, reject},
      {Head(206, "", "", "", 0, 900), 0, none, reject}, {Head(300, "", "", ""), 0, none, reject},
      {Head(304, "", "", ""), 0, none, reject}, {Head(404, "", "", ""), 0, none, reject},
      {Head(199, "", "", ""), 0, none, reject},
      // The rest: only the same version of the same package from where asked on.
      {Head(206, "\"v1\"", "", "", at, whole), k, tag, take},
      {Head(206, "\"v1\"", kOld, "", at, whole), k, date, take},
      {Head(206, "\"v2\"", "", "", at, whole), k, tag, stale},
      {Head(206, "", "", "", at, whole), k, tag, stale},
      {Head(206, "\"v1\"", "", "", at, whole), k, date, stale},  // not the kind sent
      {Head(206, "\"v1\"", kMinute, "", at, whole), k, date, stale},
      {Head(206, "\"v1\"", "", "", at, 1200), k, tag, stale},
      {Head(206, "\"v1\"", "", "", at + 1, whole), k, tag, stale},
      {Head(206, "\"v1\"", "", "", k, whole), k, tag, stale},  // at the cut, not before it
      {Head(206, "\"v1\"", "", "", 0, whole), k, tag, stale},
      // Fewer than 64 KiB kept: all of them are asked again.
      {Head(206, "\"v1\"", "", "", 0, whole), 700, tag, take},
      {Head(206, "\"v1\"", "", "", 700, whole), 700, tag, stale},
      {Head(206, "\"v1\"", "", "", 0, whole), 65536, tag, take},
      {Head(206, "\"v1\"", "", "", 1, whole), 65537, tag, take},
      {Head(206, "\"v1\"", "", ""), k, tag, stale}, {short_part, k, tag, stale},
      {mirror, k, tag, stale}, {Head(206, "", "", "", at, whole), k, none, stale},
      {Head(200, "\"v1\"", "", ""), k, tag, stale}, {Head(204, "", "", ""), k, tag, stale},
      {Head(416, "", "", ""), k, tag, stale},
      // A refused range is dropped; what may pass keeps the kept bytes.
      {Head(400, "", "", ""), k, tag, stale}, {Head(412, "", "", ""), k, tag, stale},
      {Head(404, "", "", ""), k, tag, stale}, {Head(408, "", "", ""), k, tag, reject},
      {Head(429, "", "", ""), k, tag, reject}, {Head(501, "", "", ""), k, tag, stale},
      {Head(500, "", "", ""), k, tag, reject},
      {Head(503, "", "", ""), k, tag, reject}, {Head(302, "", "", ""), k, tag, reject},
      {Head(0, "", "", ""), k, tag, reject},
  };
  for (const auto& r : rows)
    EXPECT_EQ(JudgeAnswer(r.head, r.offset, r.kept), r.want)
        << r.head.status << " " << r.head.etag << " at " << r.offset << " from "
        << r.head.range.first << "/" << r.head.range.complete;
}

}  // namespace
