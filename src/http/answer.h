// Reading the head of a package answer, to decide what its body is worth.
// Pure text rules: libcurl hands the header callback one line at a time.
#ifndef MGMTFETCH_HTTP_ANSWER_H_
#define MGMTFETCH_HTTP_ANSWER_H_

#include <cstdint>
#include <string>

// A Content-Range of "bytes FIRST-LAST/COMPLETE"; first is -1 when absent.
struct ByteRange {
  int64_t first = -1;
  int64_t last = -1;
  int64_t complete = -1;
};

// The status code of a status line ("HTTP/1.1 206 Partial Content\r\n"), or
// 0 when the line is not one.
long StatusOfLine(const std::string& line);

// True when `line` is a header named `name` (any case); its value, without
// the blanks around it and the line end, goes to *value.
bool HeaderValue(const std::string& line, const char* name, std::string* value);

// Reads "bytes FIRST-LAST/COMPLETE" with FIRST <= LAST < COMPLETE. False for
// anything else, an unknown complete length ("*") included.
bool ParseContentRange(const std::string& value, ByteRange* range);

// What a resumed request may send in If-Range: the ETag when it is strong,
// else the Last-Modified date, else "" (then there is nothing to resume).
std::string ResumeValidator(const std::string& etag, const std::string& last_modified);

enum class Verdict {
  kTake,   // the body is the package, or its rest from the offset asked for
  kStale,  // answers a resumed request but does not continue the kept bytes
  kReject  // not the package: an error, a redirect, an empty answer
};

// The verdict on a final answer to a request for the package's bytes from
// `offset` on (0: the whole package, asked without a range). Only a 2xx
// other than 204 and 205 carries a package, and a 206 only as the answer to
// a range of ours that starts at the offset.
Verdict JudgeAnswer(long status, int64_t offset, const ByteRange& range);

#endif  // MGMTFETCH_HTTP_ANSWER_H_
