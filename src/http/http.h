// Transfers to the management server, all through libcurl's easy interface.
// Every call is self-contained: one easy handle, released before it returns.
#ifndef MGMTFETCH_HTTP_HTTP_H_
#define MGMTFETCH_HTTP_HTTP_H_

#include <cstddef>
#include <cstdint>
#include <string>

#include "http/answer.h"

// Seconds allowed for every transfer, read when a transfer is set up.
// The command line front end writes it; 0 means no overall limit.
extern int32_t timeout;

// The smaller of the two, preferring the first on a tie.
uint64_t min(uint64_t a, uint64_t b);

// The most a text answer may hold. A version text or a probe answer is a
// few bytes; anything past this is a hostile or broken server, and keeping
// it would let the server choose how much memory the client takes.
constexpr size_t kTextAnswerLimit = size_t{1} << 20;

// libcurl write callback of GetData; the same rules as WriteStringCallback.
size_t writeToString(void* chunk, size_t size, size_t count, void* target) noexcept;

// Read cursor over a caller-owned POST body.
struct PostDataCursor {
  const unsigned char* data;
  uint64_t offset;
  int64_t size;
};

// What one request met, for the trace.
struct TransferFacts {
  long status = 0;
  std::string url;        // after redirects
  int64_t bytes = 0;      // body bytes received
  int64_t from = 0;       // the bytes kept, whose rest was asked for
  int64_t overlap = 0;    // the kept bytes asked again before them
  std::string overlap_matched = "-";  // whether the answer repeated them: yes, no, -
  std::string outcome;    // as the trace names it: "cut", "stale", ...
  std::string error;      // libcurl's word, or the rule that refused the answer
  // How the body's end was known: "length", "chunked", "close" (the server
  // closed the connection, which a server dying mid-body also does), or
  // "stream" (HTTP/2 and later mark it in their frames).
  std::string framing;
  // The seconds a Retry-After header asked for, in either of its forms, on
  // whatever status (0: none or a date past).
  int64_t retry_after = 0;
};

// Text transfers: the answer comes back as a string, "" when nothing usable arrived.
class postit2 {
 public:
  // GET without following redirects. Returns the body whatever the status;
  // "" when the transfer did not complete or the body passed the limit.
  static std::string GetData(std::string url, TransferFacts* facts = nullptr);
  // POST of `length` bytes at `body`. Returns the body only on status 200;
  // "" when it passed the limit.
  static std::string PostData(std::string url, const unsigned char* body,
                              int64_t length);

  // Appends the chunk to the std::string at `target`. A chunk that would take
  // it past kTextAnswerLimit, or that cannot be stored, empties the string
  // and is refused, which ends the transfer: an oversized answer reads as no
  // answer at all. Never throws, as nothing may unwind through libcurl.
  static size_t WriteStringCallback(void* chunk, size_t size, size_t count,
                                    void* target) noexcept;
  static size_t ReadPostDataCallback(void* buffer, size_t size, size_t count,
                                     void* cursor) noexcept;
};

#endif  // MGMTFETCH_HTTP_HTTP_H_
