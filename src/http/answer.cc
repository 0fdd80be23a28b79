#include "http/answer.h"

#include <strings.h>

namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

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

}  // namespace

long StatusOfLine(const std::string& line) {
  if (line.compare(0, 5, "HTTP/") != 0) return 0;
  const size_t space = line.find(' ');
  if (space == std::string::npos || line.size() < space + 4) return 0;
  long status = 0;
  for (size_t i = space + 1; i < space + 4; ++i) {
    if (line[i] < '0' || line[i] > '9') return 0;
    status = status * 10 + (line[i] - '0');
  }
  return line.size() == space + 4 || IsBlank(line[space + 4]) ? status : 0;
}

bool HeaderValue(const std::string& line, const char* name, std::string* value) {
  const size_t length = std::char_traits<char>::length(name);
  if (line.size() <= length || line[length] != ':' ||
      strncasecmp(line.c_str(), name, length) != 0)
    return false;
  size_t begin = length + 1, end = line.size();
  while (begin < end && IsBlank(line[begin])) ++begin;
  while (end > begin && IsBlank(line[end - 1])) --end;
  *value = line.substr(begin, end - begin);
  return true;
}

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

std::string ResumeValidator(const std::string& etag, const std::string& last_modified) {
  if (!etag.empty() && etag.compare(0, 2, "W/") != 0) return etag;
  return last_modified;
}

Verdict JudgeAnswer(long status, int64_t offset, const ByteRange& range) {
  const bool success = status >= 200 && status <= 299;
  if (offset == 0)
    return success && status != 204 && status != 205 && status != 206 ? Verdict::kTake
                                                                       : Verdict::kReject;
  if (status == 206 && range.first == offset) return Verdict::kTake;
  // The server ignored the range, the package changed (If-Range failed), or
  // the kept bytes are no longer a prefix of anything it offers.
  return success || status == 416 ? Verdict::kStale : Verdict::kReject;
}
