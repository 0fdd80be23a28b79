// What a package answer proves about the bytes it carries, and whether they
// continue the bytes kept from an earlier attempt. Pure rules on values that
// libcurl has already parsed out of the answer's head.
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

// Reads "bytes FIRST-LAST/COMPLETE" with FIRST <= LAST < COMPLETE. False for
// anything else, an unknown complete length ("*") included.
bool ParseContentRange(const std::string& value, ByteRange* range);

// The head of the final answer of one request. A header given more than once
// reads as absent: two ETags or two ranges prove nothing.
struct AnswerHead {
  long status = 0;
  std::string url;  // where the answer came from, after redirects
  std::string etag;
  std::string last_modified;
  std::string date;
  ByteRange range;
  int64_t length = -1;  // Content-Length of this answer's body; -1 unknown
};

// Which version of which package some bytes are: what a resumed answer has
// to repeat before its bytes may follow them.
struct PackageIdentity {
  std::string url;
  std::string validator;  // sent as If-Range, exactly as the server wrote it
  bool by_date = false;   // the validator is Last-Modified, not an ETag
  int64_t complete = -1;  // the whole package's length
};

// `"` followed by visible bytes other than `"` (or bytes from 0x80 on) and a
// closing `"`: a strong entity-tag, safe to echo in a request header.
bool WellFormedEntityTag(const std::string& value);

// An HTTP date in its one generated form ("Sun, 06 Nov 1994 08:49:37 GMT"),
// as seconds since the epoch. False for any other text.
bool ParseHttpDate(const std::string& value, int64_t* seconds);

// The identity of the package bytes an answer carries from byte 0 (a 200) or
// from its range (a 206). False when it names no strong validator or no
// complete length: such bytes can only be fetched again, never resumed.
// The validator is a strong ETag; else a Last-Modified date that is strong,
// being at least 60 s older than the answer's Date (a file may change again
// within the second its date names).
bool IdentityOf(const AnswerHead& head, PackageIdentity* identity);

// How many of the kept bytes a resumed request asks for again, just before
// the first one missing (Range: bytes=(kept - overlap)-): all of them up to
// 64 KiB. A version swapped in under the same validator and length almost
// never repeats them, so the answer proves it continues the very bytes kept.
constexpr int64_t kOverlapLimit = 64 * 1024;
int64_t OverlapOf(int64_t kept);

enum class Verdict {
  kTake,   // the body is the package, or the rest of the kept bytes
  kStale,  // drop the kept bytes and ask for the whole package
  kReject  // not the package: an error, a redirect, an empty answer
};

// The verdict on a final answer to a request for what follows the `offset`
// bytes kept (0: the whole package, asked without a range). Only a 2xx other
// than 204 and 205 carries a package. A 206 continues the kept bytes only
// when it starts where asked, OverlapOf(offset) bytes before the offset, runs
// to the end, and repeats their identity: the same URL, validator and
// complete length. Whether the bytes it repeats are the kept ones is known
// only as its body arrives (Seam). A refusal of the range itself (any 4xx
// but a time-out or a rate limit, and 501) drops the kept bytes, so that the
// request is not repeated as it was.
Verdict JudgeAnswer(const AnswerHead& head, int64_t offset, const PackageIdentity& kept);

// Why JudgeAnswer gives its verdict, in a few words for the trace.
std::string ExplainVerdict(const AnswerHead& head, int64_t offset, const PackageIdentity& kept);

// A header value that cannot end the header line or start another: no byte
// below 0x20 but tab, and no 0x7f.
bool SafeHeaderValue(const std::string& value);

#endif  // MGMTFETCH_HTTP_ANSWER_H_
