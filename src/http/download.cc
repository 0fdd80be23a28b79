#include <curl/curl.h>
#include <string.h>

#include <memory>
#include <string>

#include "address/url.h"
#include "http/answer.h"
#include "http/easy.h"
#include "http/http.h"
#include "http/temp_file.h"
#include "http/trace.h"

namespace {

// libcurl's own default is 16 KiB, so a plain-HTTP body needed a recv(2)
// and a poll(2) per 16 KiB.
constexpr long kReceiveBufferBytes = 256 * 1024;

struct ListCleanup {
  void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};

// Only the headers of the answer itself count, never its trailers: they
// arrive after the body and could otherwise rewrite what the body was taken
// for. A header that came twice proves nothing and reads as absent.
std::string OneHeader(CURL* h, const char* name) {
  curl_header* header = nullptr;
  if (curl_easy_header(h, name, 0, CURLH_HEADER, -1, &header) != CURLHE_OK ||
      header->amount != 1)
    return "";
  return header->value;
}

// The head of the answer now being received (after redirects, the last
// one), as libcurl parsed it: the status is libcurl's own, not whatever
// header line looks like a status line.
AnswerHead ReadHead(CURL* h) {
  AnswerHead head;
  curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &head.status);
  char* url = nullptr;
  if (curl_easy_getinfo(h, CURLINFO_EFFECTIVE_URL, &url) == CURLE_OK && url) head.url = url;
  head.etag = OneHeader(h, "ETag");
  head.last_modified = OneHeader(h, "Last-Modified");
  head.date = OneHeader(h, "Date");
  ParseContentRange(OneHeader(h, "Content-Range"), &head.range);
  curl_off_t length = -1;
  curl_easy_getinfo(h, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length);
  head.length = length;
  return head;
}

// One request and the answer it is receiving. Each answer whose body
// arrives is judged once, at its first byte, before anything is written.
struct Transfer {
  CURL* handle;
  TempFile* file;
  int64_t offset;  // bytes kept from earlier attempts, asked to be skipped
  const PackageIdentity* kept;
  long judged_at = -1;  // the redirect count of the answer judged
  Verdict verdict = Verdict::kReject;
  int64_t written = 0;
};

// How the body of the last answer ended (see TransferFacts::framing).
const char* Framing(CURL* h, int64_t length) {
  if (length >= 0) return "length";
  long version = 0;
  curl_easy_getinfo(h, CURLINFO_HTTP_VERSION, &version);
  if (version >= CURL_HTTP_VERSION_2_0) return "stream";
  // libcurl takes "chunked" wherever the codings list it, so this does too.
  curl_header* coding = nullptr;
  for (size_t i = 0; curl_easy_header(h, "Transfer-Encoding", i, CURLH_HEADER, -1, &coding) ==
                         CURLHE_OK && i < coding->amount; ++i)
    if (strcasestr(coding->value, "chunked") != nullptr) return "chunked";
  return "close";
}

// What the trace tells of the request: libcurl's own error, or else the
// rule that refused the answer.
void Report(CURL* h, const AnswerHead& head, CURLcode code, const char* error,
            const std::string& rule, int64_t from, PartialDownload* partial) {
  partial->last.status = head.status;
  partial->last.url = head.url;
  curl_off_t bytes = 0;
  curl_easy_getinfo(h, CURLINFO_SIZE_DOWNLOAD_T, &bytes);
  partial->last.bytes = bytes;
  partial->last.from = from;
  partial->last.framing = Framing(h, head.length);
  partial->last.error = head.status != 0 ? rule : "";
  partial->last.outcome = head.status == 0 ? "failed" : rule.empty() ? "cut" : "rejected";
  if (code != CURLE_OK && partial->last.error.empty())
    partial->last.error = *error != '\0' ? error : curl_easy_strerror(code);
}

// Empties the file and forgets what its bytes were.
bool Drop(PartialDownload* partial) {
  partial->kept = PackageIdentity();
  return partial->file->Truncate();
}

}  // namespace

size_t CHttpDownload::DownloadCallback(void* chunk, size_t size, size_t count,
                                       void* transfer) {
  auto* t = static_cast<Transfer*>(transfer);
  if (t == nullptr) return kRefuse;
  long redirects = 0;
  curl_easy_getinfo(t->handle, CURLINFO_REDIRECT_COUNT, &redirects);
  if (redirects != t->judged_at) {
    try {
      t->verdict = JudgeAnswer(ReadHead(t->handle), t->offset, *t->kept);
    } catch (...) {
      return kRefuse;  // out of memory: nothing may unwind through libcurl
    }
    t->judged_at = redirects;
  }
  // An error page or a stray 206 is not worth the bandwidth.
  if (t->verdict != Verdict::kTake) return kRefuse;
  // A short count ends the transfer; the stream's error flag tells why.
  const size_t n = t->file->Append(chunk, size * count);
  t->written += static_cast<int64_t>(n);
  return n;
}

int CHttpDownload::ProgressCallback(void* transfer, double dltotal, double dlnow, double,
                                    double) {
  if (trace::On() && dlnow > 0) {
    const int64_t offset = static_cast<Transfer*>(transfer)->offset;
    try {
      trace::Progress(offset + static_cast<int64_t>(dlnow),
                      dltotal > 0 ? offset + static_cast<int64_t>(dltotal) : -1);
    } catch (...) {
      // Out of memory: the trace misses a line, and nothing unwinds through libcurl.
    }
  }
  return 0;
}

DownloadResult CHttpDownload::DownloadFile(const std::string& url,
                                           PartialDownload* partial, long limit_ms) {
  if (!WellFormedUrl(url)) return DownloadResult::kNotSent;
  EasyHandle handle(curl_easy_init());
  if (!handle) return DownloadResult::kNotSent;
  CURL* h = handle.get();
  curl_easy_setopt(h, CURLOPT_URL, url.c_str());
  if (!SecureTransfer(h, url)) return DownloadResult::kNotSent;

  TempFile* file = partial->file;
  int64_t kept = file->Flush();
  if (kept < 0) return DownloadResult::kLocalFailure;
  // A range is never asked without the validator that guards it, nor with
  // one that could break the request's head.
  if (kept > 0 && (partial->kept.validator.empty() || !SafeHeaderValue(partial->kept.validator))) {
    if (!Drop(partial)) return DownloadResult::kLocalFailure;
    kept = 0;
  }
  Transfer t{h, file, kept, &partial->kept};
  std::unique_ptr<curl_slist, ListCleanup> headers;
  if (kept > 0) {
    // If-Range makes a server whose package changed answer with the whole
    // new one instead of its tail; what the answer then proves is checked
    // all the same, since not every server or proxy honours it.
    curl_easy_setopt(h, CURLOPT_RESUME_FROM_LARGE, static_cast<curl_off_t>(kept));
    headers.reset(curl_slist_append(nullptr, ("If-Range: " + partial->kept.validator).c_str()));
    if (!headers) return DownloadResult::kLocalFailure;
    curl_easy_setopt(h, CURLOPT_HTTPHEADER, headers.get());
  }
  curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, CHttpDownload::DownloadCallback);
  curl_easy_setopt(h, CURLOPT_WRITEDATA, &t);
  curl_easy_setopt(h, CURLOPT_MAXREDIRS, 5L);
  curl_easy_setopt(h, CURLOPT_FOLLOWLOCATION, 1L);
  curl_easy_setopt(h, CURLOPT_NOPROGRESS, 0L);
  curl_easy_setopt(h, CURLOPT_PROGRESSFUNCTION, CHttpDownload::ProgressCallback);
  curl_easy_setopt(h, CURLOPT_PROGRESSDATA, &t);
  curl_easy_setopt(h, CURLOPT_TIMEOUT_MS, limit_ms > 0 ? limit_ms : 0L);
  curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(h, CURLOPT_BUFFERSIZE, kReceiveBufferBytes);

  char error[CURL_ERROR_SIZE] = "";
  curl_easy_setopt(h, CURLOPT_ERRORBUFFER, error);

  trace::NewTransfer();
  const CURLcode code = curl_easy_perform(h);
  // Never CURLE_OK alone: with a resume offset libcurl also reports success
  // for a 200 whose length equals the offset, having written nothing.
  const AnswerHead head = ReadHead(h);
  const Verdict verdict = JudgeAnswer(head, kept, partial->kept);
  Report(h, head, code, error, ExplainVerdict(head, kept, partial->kept), kept, partial);
  // An answer that wrote nothing (no answer at all, an error status) leaves
  // the kept bytes as good as they were: their identity still guards them.
  if (verdict == Verdict::kReject && t.written == 0) return DownloadResult::kFailed;
  const int64_t size = file->Flush();
  if (size < 0) return DownloadResult::kLocalFailure;
  if (verdict == Verdict::kTake && code == CURLE_OK) {
    if (kept == 0 || size == partial->kept.complete) return DownloadResult::kComplete;
  } else if (verdict == Verdict::kTake) {
    // Cut short: the next attempt asks for the rest, if the bytes have an
    // identity that a resumed answer can be held to.
    if (kept > 0 || IdentityOf(head, &partial->kept)) return DownloadResult::kFailed;
    return Drop(partial) ? DownloadResult::kFailed : DownloadResult::kLocalFailure;
  }
  // The kept bytes do not lead to one whole version of the package, or an
  // answer wrote bytes that it then turned out not to be.
  if (verdict == Verdict::kTake) partial->last.error = "shorter than the package";
  if (!Drop(partial)) return DownloadResult::kLocalFailure;
  return verdict == Verdict::kReject ? DownloadResult::kFailed : DownloadResult::kStale;
}
