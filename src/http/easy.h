// Ownership of libcurl's easy handles, and what this program adds to every
// transfer on top of the settings each kind of transfer makes itself: how
// the server is authenticated, no proxy for a link-local server, and
// libcurl's own words on a failure.
#ifndef MGMTFETCH_HTTP_EASY_H_
#define MGMTFETCH_HTTP_EASY_H_

#include <curl/curl.h>

#include <cstdint>
#include <memory>
#include <string>

struct EasyCleanup {
  void operator()(CURL* handle) const { curl_easy_cleanup(handle); }
};
using EasyHandle = std::unique_ptr<CURL, EasyCleanup>;

// What a write callback returns to refuse a chunk, which ends the transfer.
constexpr size_t kRefuse = static_cast<size_t>(-1);

// Applies how the server is (or is not) authenticated to a transfer of
// `url` (see secure.h), and keeps a link-local server's transfer off any
// proxy. False when the transfer must not be attempted at all.
bool SecureTransfer(CURL* handle, const std::string& url);

// The text libcurl writes on why a transfer failed. Made before the
// transfer runs and kept until it has ended.
class ErrorBuffer {
 public:
  explicit ErrorBuffer(CURL* handle);
  ErrorBuffer(const ErrorBuffer&) = delete;
  ErrorBuffer& operator=(const ErrorBuffer&) = delete;

  // "" for CURLE_OK; else libcurl's own account, or its word for `code`
  // where it wrote none.
  std::string Explain(CURLcode code) const;

 private:
  char text_[CURL_ERROR_SIZE] = "";
};

// The seconds the last answer's Retry-After asked for, in either of its
// forms and on whatever status (0: none, or a date already past).
int64_t RetryAfterSeconds(CURL* handle);

#endif  // MGMTFETCH_HTTP_EASY_H_
