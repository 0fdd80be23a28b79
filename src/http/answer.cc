#include "http/answer.h"

#include <cstring>

namespace {

// Reads a decimal number of at most 18 digits at `pos`, so that it fits.
bool ReadNumber(const std::string& s, size_t* pos, int64_t* out) {
  const size_t start = *pos;
  int64_t n = 0;
  while (*pos < s.size() && s[*pos] >= '0' && s[*pos] <= '9') {
    if (*pos - start == 18) return false;
    n = n * 10 + (s[(*pos)++] - '0');
  }
  *out = n;
  return *pos > start;
}

// `count` digits at `pos` of `s`, or -1.
int Digits(const std::string& s, size_t pos, size_t count) {
  int n = 0;
  for (size_t i = pos; i < pos + count; ++i) {
    if (s[i] < '0' || s[i] > '9') return -1;
    n = n * 10 + (s[i] - '0');
  }
  return n;
}

// Index of the three letters at `pos` in `names` (three letters each), or -1.
int NameIndex(const std::string& s, size_t pos, const char* names) {
  for (int i = 0; names[3 * i] != '\0'; ++i)
    if (s.compare(pos, 3, names + 3 * i, 3) == 0) return i;
  return -1;
}

// Days from 1970-01-01 to the given civil date (proleptic Gregorian).
int64_t DaysFromCivil(int64_t y, int m, int d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const int64_t yoe = y - era * 400;
  const int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}

bool LeapYear(int y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

// A Last-Modified this much older than the answer's Date cannot change again
// unseen under the same date.
constexpr int64_t kStrongDateAge = 60;

bool Success(long status) { return status >= 200 && status <= 299; }

}  // namespace

bool ParseContentRange(const std::string& value, ByteRange* range) {
  if (value.compare(0, 6, "bytes ") != 0) return false;
  size_t pos = 6;
  while (pos < value.size() && value[pos] == ' ') ++pos;
  ByteRange r;
  if (!ReadNumber(value, &pos, &r.first) || pos >= value.size() || value[pos++] != '-' ||
      !ReadNumber(value, &pos, &r.last) || pos >= value.size() || value[pos++] != '/' ||
      !ReadNumber(value, &pos, &r.complete) || pos != value.size() ||
      r.first > r.last || r.last >= r.complete)
    return false;
  *range = r;
  return true;
}

bool WellFormedEntityTag(const std::string& value) {
  if (value.size() < 2 || value.front() != '"' || value.back() != '"') return false;
  for (size_t i = 1; i + 1 < value.size(); ++i) {
    const unsigned char c = value[i];
    if (c <= 0x20 || c == '"' || c == 0x7f) return false;
  }
  return true;
}

bool ParseHttpDate(const std::string& value, int64_t* seconds) {
  // "Sun, 06 Nov 1994 08:49:37 GMT"
  if (value.size() != 29 || value.compare(3, 2, ", ") != 0 || value[7] != ' ' ||
      value[11] != ' ' || value[16] != ' ' || value[19] != ':' || value[22] != ':' ||
      value.compare(25, 4, " GMT") != 0 ||
      NameIndex(value, 0, "MonTueWedThuFriSatSun") < 0)
    return false;
  const int month = NameIndex(value, 8, "JanFebMarAprMayJunJulAugSepOctNovDec") + 1;
  const int day = Digits(value, 5, 2), year = Digits(value, 12, 4);
  const int hour = Digits(value, 17, 2), minute = Digits(value, 20, 2);
  const int second = Digits(value, 23, 2);
  static const int kDays[] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (month < 1 || day < 1 || year < 0 || hour < 0 || hour > 23 || minute < 0 ||
      minute > 59 || second < 0 || second > 60 || day > kDays[month - 1] ||
      (month == 2 && day == 29 && !LeapYear(year)))
    return false;
  *seconds = DaysFromCivil(year, month, day) * 86400 + hour * 3600 + minute * 60 + second;
  return true;
}

bool IdentityOf(const AnswerHead& head, PackageIdentity* identity) {
  PackageIdentity id;
  id.url = head.url;
  id.complete = head.status == 206 ? head.range.complete : head.length;
  if (head.status == 206 && head.range.first < 0) id.complete = -1;
  int64_t modified = 0, sent = 0;
  if (WellFormedEntityTag(head.etag)) {
    id.validator = head.etag;
  } else if (!head.etag.empty() && head.etag.compare(0, 2, "W/") != 0) {
    return false;  // an ETag that is not one: the server's word is unclear
  } else if (ParseHttpDate(head.last_modified, &modified) &&
             ParseHttpDate(head.date, &sent) && sent - modified >= kStrongDateAge) {
    id.validator = head.last_modified;
    id.by_date = true;
  }
  if (id.validator.empty() || id.complete <= 0 || id.url.empty()) return false;
  *identity = id;
  return true;
}

int64_t OverlapOf(int64_t kept) { return kept < kOverlapLimit ? kept : kOverlapLimit; }

Verdict JudgeAnswer(const AnswerHead& head, int64_t offset, const PackageIdentity& kept) {
  const long status = head.status;
  if (offset == 0)
    return Success(status) && status != 204 && status != 205 && status != 206
               ? Verdict::kTake
               : Verdict::kReject;
  if (status == 206) {
    const ByteRange& r = head.range;
    const std::string& validator = kept.by_date ? head.last_modified : head.etag;
    const bool continues = r.first == offset - OverlapOf(offset) && r.last + 1 == r.complete &&
                           r.complete == kept.complete && head.url == kept.url &&
                           !kept.validator.empty() && validator == kept.validator;
    return continues ? Verdict::kTake : Verdict::kStale;
  }
  // The server ignored the range, or the package changed (If-Range failed).
  if (Success(status)) return Verdict::kStale;
  // Refused as asked (a 416: the kept bytes are no longer a prefix of
  // anything it offers; a proxy that rejects ranges, headers too long for
  // the server, ranges not implemented): the same request would be refused
  // again. A time-out, a rate limit or a passing server error may mend, and
  // the kept bytes are still good.
  if ((status >= 400 && status <= 499 && status != 408 && status != 429) || status == 501)
    return Verdict::kStale;
  return Verdict::kReject;
}

std::string ExplainVerdict(const AnswerHead& head, int64_t offset,
                           const PackageIdentity& kept) {
  const std::string status = "status " + std::to_string(head.status);
  switch (JudgeAnswer(head, offset, kept)) {
    case Verdict::kTake:
      return "";
    case Verdict::kReject:
      return head.status == 0 ? "no answer" : status + " is not the package";
    case Verdict::kStale:
      break;
  }
  if (head.status != 206) return status + " to a range: the kept bytes are dropped";
  const ByteRange& r = head.range;
  const int64_t asked = offset - OverlapOf(offset);
  const char* why = r.first < 0                        ? "no Content-Range"
                    : r.first != asked                 ? "a range that starts elsewhere"
                    : r.last + 1 != r.complete         ? "a range that ends short"
                    : r.complete != kept.complete      ? "another length"
                    : head.url != kept.url             ? "another URL"
                    : kept.by_date                     ? "another or no Last-Modified"
                                                       : "another or no ETag";
  return std::string("206 of ") + why + ": the kept bytes are dropped";
}

bool SafeHeaderValue(const std::string& value) {
  for (const unsigned char c : value)
    if ((c < 0x20 && c != '\t') || c == 0x7f) return false;
  return true;
}
