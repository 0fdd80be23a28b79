#include "http/postit2.h"

#include <curl/curl.h>

#include <cstring>
#include <memory>

int32_t timeout = 10;

uint64_t min(uint64_t a, uint64_t b) { return b < a ? b : a; }

size_t writeToString(void* chunk, size_t size, size_t count, void* target) noexcept {
  return postit2::WriteStringCallback(chunk, size, count, target);
}

size_t postit2::WriteStringCallback(void* chunk, size_t size, size_t count,
                                    void* target) noexcept {
  if (size == 0 || count == 0) return 0;
  if (chunk == nullptr || target == nullptr) return kRefuse;
  auto* answer = static_cast<std::string*>(target);
  // Tested before the product is formed, so it cannot wrap around.
  const size_t room = kTextAnswerLimit - min(answer->size(), kTextAnswerLimit);
  if (count > room / size) {
    std::string().swap(*answer);  // frees the memory too, not just the size
    return kRefuse;
  }
  const size_t n = size * count;
  try {
    answer->append(static_cast<const char*>(chunk), n);
  } catch (...) {
    std::string().swap(*answer);
    return kRefuse;
  }
  return n;
}

size_t postit2::ReadPostDataCallback(void* buffer, size_t size, size_t count,
                                     void* cursor) noexcept {
  const uint64_t capacity = static_cast<uint64_t>(size) * count;
  if (capacity == 0) return 0;
  auto* c = static_cast<PostDataCursor*>(cursor);
  const uint64_t left = static_cast<uint64_t>(c->size) - c->offset;
  const uint64_t k = min(left, capacity);
  if (k > 0) std::memcpy(buffer, c->data + c->offset, k);
  c->offset += k;
  return static_cast<size_t>(k);
}

std::string postit2::GetData(std::string url, TransferFacts* facts) {
  EasyHandle handle(curl_easy_init());
  if (!handle) return "";
  CURL* h = handle.get();
  std::string body;
  curl_easy_setopt(h, CURLOPT_URL, url.c_str());
  if (!SecureTransfer(h, url)) return "";
  curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, writeToString);
  curl_easy_setopt(h, CURLOPT_WRITEDATA, &body);
  curl_easy_setopt(h, CURLOPT_TIMEOUT, static_cast<long>(timeout));
  curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT, static_cast<long>(timeout));
  const ErrorBuffer error(h);
  // A body cut short (time-out, connection lost) is not the server's
  // answer; handing it on would print a truncated version as if whole.
  const CURLcode code = curl_easy_perform(h);
  if (facts != nullptr) {
    curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &facts->status);
    facts->bytes = static_cast<int64_t>(body.size());
    facts->retry_after = RetryAfterSeconds(h);
    facts->error = error.Explain(code);
  }
  if (code != CURLE_OK) return "";
  return body;
}

EasyHandle NewPostHandle(const std::string& url, PostDataCursor* cursor,
                         std::string* answer) {
  curl_global_init(CURL_GLOBAL_ALL);
  EasyHandle handle(curl_easy_init());
  if (!handle) return nullptr;
  CURL* h = handle.get();
  curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(h, CURLOPT_URL, url.c_str());
  if (!SecureTransfer(h, url)) return nullptr;
  curl_easy_setopt(h, CURLOPT_HEADER, 0L);
  curl_easy_setopt(h, CURLOPT_TIMEOUT, static_cast<long>(timeout));
  curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT, static_cast<long>(timeout));
  curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, postit2::WriteStringCallback);
  curl_easy_setopt(h, CURLOPT_POST, 1L);
  curl_easy_setopt(h, CURLOPT_READFUNCTION, postit2::ReadPostDataCallback);
  curl_easy_setopt(h, CURLOPT_READDATA, cursor);
  curl_easy_setopt(h, CURLOPT_POSTFIELDSIZE, static_cast<long>(cursor->size));
  curl_easy_setopt(h, CURLOPT_WRITEDATA, answer);
  return handle;
}

std::string PostAnswer(CURL* handle, const std::string& answer) {
  // Only the status decides: a probe that was answered at all tells us the
  // interface reaches the server, even if the body was then cut short. An
  // answer refused for its size has left `answer` empty: no answer.
  long status = 0;
  curl_easy_getinfo(handle, CURLINFO_RESPONSE_CODE, &status);
  if (status != 200) return "";
  return answer;
}

std::string postit2::PostData(std::string url, const unsigned char* body,
                              int64_t length) {
  std::string answer;
  PostDataCursor cursor{body, 0, length < 0 ? 0 : length};
  EasyHandle handle = NewPostHandle(url, &cursor, &answer);
  if (!handle) return "";
  curl_easy_perform(handle.get());
  return PostAnswer(handle.get(), answer);
}
