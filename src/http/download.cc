#include <curl/curl.h>

#include <memory>
#include <string>

#include "http/answer.h"
#include "http/easy.h"
#include "http/http.h"
#include "http/temp_file.h"

namespace {

// libcurl's own default is 16 KiB, so a plain-HTTP body needed a recv(2)
// and a poll(2) per 16 KiB.
constexpr long kReceiveBufferBytes = 256 * 1024;

struct UrlCleanup {
  void operator()(CURLU* url) const { curl_url_cleanup(url); }
};
struct ListCleanup {
  void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};

// What libcurl itself would refuse before sending anything (a blank in the
// path, a bad port): the same parse, with the flags it uses for a transfer.
bool WellFormedUrl(const std::string& url) {
  std::unique_ptr<CURLU, UrlCleanup> parsed(curl_url());
  return parsed && curl_url_set(parsed.get(), CURLUPART_URL, url.c_str(),
                                CURLU_GUESS_SCHEME | CURLU_NON_SUPPORT_SCHEME) == CURLUE_OK;
}

// One request and the answer it is receiving. The head of every answer
// passes through the header callback, redirects and interim answers
// included, so each status line starts the record afresh: what is left at
// the end belongs to the final answer.
struct Transfer {
  Transfer(TempFile* f, int64_t kept) : file(f), offset(kept) {}
  TempFile* file;
  int64_t offset;  // bytes kept from earlier attempts, asked to be skipped
  long status = 0;
  std::string etag;
  std::string last_modified;
  ByteRange range;
  bool judged = false;
  Verdict verdict = Verdict::kReject;
};

extern "C" size_t OnHeader(char* data, size_t size, size_t count, void* p) noexcept {
  auto* t = static_cast<Transfer*>(p);
  const size_t n = size * count;
  try {
    const std::string line(data, n);
    std::string value;
    if (const long status = StatusOfLine(line)) {
      t->status = status;
      t->etag.clear();
      t->last_modified.clear();
      t->range = ByteRange();
      t->judged = false;
    } else if (HeaderValue(line, "ETag", &value)) {
      t->etag = value;
    } else if (HeaderValue(line, "Last-Modified", &value)) {
      t->last_modified = value;
    } else if (HeaderValue(line, "Content-Range", &value)) {
      if (!ParseContentRange(value, &t->range)) t->range = ByteRange();
    }
  } catch (...) {
    return 0;  // out of memory: libcurl ends the transfer
  }
  return n;
}

}  // namespace

size_t CHttpDownload::DownloadCallback(void* chunk, size_t size, size_t count,
                                       void* transfer) {
  auto* t = static_cast<Transfer*>(transfer);
  if (t == nullptr) return kRefuse;
  if (!t->judged) {
    t->verdict = JudgeAnswer(t->status, t->offset, t->range);
    t->judged = true;
  }
  // An error page or a stray 206 is not worth the bandwidth.
  if (t->verdict != Verdict::kTake) return kRefuse;
  // A short count ends the transfer; the stream's error flag tells why.
  return t->file->Append(chunk, size * count);
}

int CHttpDownload::ProgressCallback(void*, double, double, double, double) {
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
  const int64_t kept = file->Flush();
  if (kept < 0) return DownloadResult::kLocalFailure;
  Transfer t{file, kept};
  std::unique_ptr<curl_slist, ListCleanup> headers;
  if (kept > 0) {
    // libcurl sends the Range and checks that an answer's Content-Range
    // starts where asked; If-Range makes a server whose package changed
    // answer with the whole new one instead of its tail.
    curl_easy_setopt(h, CURLOPT_RESUME_FROM_LARGE, static_cast<curl_off_t>(kept));
    headers.reset(curl_slist_append(nullptr, ("If-Range: " + partial->validator).c_str()));
    if (!headers) return DownloadResult::kLocalFailure;
    curl_easy_setopt(h, CURLOPT_HTTPHEADER, headers.get());
  }
  curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, CHttpDownload::DownloadCallback);
  curl_easy_setopt(h, CURLOPT_WRITEDATA, &t);
  curl_easy_setopt(h, CURLOPT_HEADERFUNCTION, OnHeader);
  curl_easy_setopt(h, CURLOPT_HEADERDATA, &t);
  curl_easy_setopt(h, CURLOPT_MAXREDIRS, 5L);
  curl_easy_setopt(h, CURLOPT_FOLLOWLOCATION, 1L);
  curl_easy_setopt(h, CURLOPT_NOPROGRESS, 0L);
  curl_easy_setopt(h, CURLOPT_PROGRESSFUNCTION, CHttpDownload::ProgressCallback);
  curl_easy_setopt(h, CURLOPT_PROGRESSDATA, this);
  curl_easy_setopt(h, CURLOPT_TIMEOUT_MS, limit_ms > 0 ? limit_ms : 0L);
  curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(h, CURLOPT_BUFFERSIZE, kReceiveBufferBytes);

  const CURLcode code = curl_easy_perform(h);
  // Never CURLE_OK alone: with a resume offset libcurl also reports success
  // for a 200 whose length equals the offset, having written nothing.
  const Verdict verdict = JudgeAnswer(t.status, kept, t.range);
  // An answer that wrote nothing (no answer at all, an error status) leaves
  // the kept bytes as good as they were: If-Range still guards them.
  if (verdict == Verdict::kReject) return DownloadResult::kFailed;
  const int64_t size = verdict == Verdict::kTake ? file->Flush() : 0;
  if (size < 0) return DownloadResult::kLocalFailure;
  if (verdict == Verdict::kTake && code == CURLE_OK) {
    if (kept == 0 || size == t.range.complete) return DownloadResult::kComplete;
  } else if (verdict == Verdict::kTake) {
    // Cut short: the next attempt asks for the rest, if this answer named
    // the version its bytes belong to.
    partial->validator = ResumeValidator(t.etag, t.last_modified);
    if (!partial->validator.empty()) return DownloadResult::kFailed;
    return file->Truncate() ? DownloadResult::kFailed : DownloadResult::kLocalFailure;
  }
  // The kept bytes do not lead to one whole version of the package.
  partial->validator.clear();
  return file->Truncate() ? DownloadResult::kStale : DownloadResult::kLocalFailure;
}
