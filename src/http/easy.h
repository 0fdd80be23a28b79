// Ownership of libcurl handles and the settings every transfer to the
// management server shares.
#ifndef MGMTFETCH_HTTP_EASY_H_
#define MGMTFETCH_HTTP_EASY_H_

#include <curl/curl.h>

#include <memory>
#include <string>

struct EasyCleanup {
  void operator()(CURL* handle) const { curl_easy_cleanup(handle); }
};
using EasyHandle = std::unique_ptr<CURL, EasyCleanup>;

// What a write callback returns to refuse a chunk, which ends the transfer.
constexpr size_t kRefuse = static_cast<size_t>(-1);

// Applies how the server is (or is not) authenticated to a transfer of
// `url`. False when the transfer must not be attempted at all.
bool SecureTransfer(CURL* handle, const std::string& url);

struct PostDataCursor;

// The transfer of postit2::PostData, set up on a new handle but not run, for
// callers that drive several at once. `cursor` (over the body) and `answer`
// must outlive the transfer. Null when no transfer may be made.
EasyHandle NewPostHandle(const std::string& url, PostDataCursor* cursor,
                         std::string* answer);

// What PostData makes of a finished transfer: `answer` on status 200, else "".
std::string PostAnswer(CURL* handle, const std::string& answer);

#endif  // MGMTFETCH_HTTP_EASY_H_
