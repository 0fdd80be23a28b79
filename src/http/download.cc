#include "http/download.h"

#include <curl/curl.h>
#include <errno.h>
#include <string.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <memory>
#include <new>
#include <string>

#include "address/url.h"
#include "http/easy.h"
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
  Sha256* digest;  // null when no list names the package
  int64_t offset;  // bytes kept from earlier attempts, asked to be skipped
  const PackageIdentity* kept;
  long judged_at = -1;  // the redirect count of the answer judged
  Verdict verdict = Verdict::kReject;
  int64_t written = 0;
  Seam seam{};  // the kept bytes asked again before the offset
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
void Report(CURL* h, const AnswerHead& head, CURLcode code, const ErrorBuffer& error,
            const std::string& rule, int64_t from, TransferFacts* last) {
  last->status = head.status;
  last->url = head.url;
  curl_off_t bytes = 0;
  curl_easy_getinfo(h, CURLINFO_SIZE_DOWNLOAD_T, &bytes);
  last->bytes = bytes;
  last->from = from;
  last->framing = Framing(h, head.length);
  last->retry_after = RetryAfterSeconds(h);
  last->error = head.status != 0 ? rule : "";
  last->outcome = head.status == 0 ? "failed" : rule.empty() ? "cut" : "rejected";
  if (last->error.empty()) last->error = error.Explain(code);
}

// The settings of a package request beyond those every transfer shares.
void SetUp(CURL* h, Transfer* t, long limit_ms) {
  curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, CHttpDownload::DownloadCallback);
  curl_easy_setopt(h, CURLOPT_WRITEDATA, t);
  curl_easy_setopt(h, CURLOPT_MAXREDIRS, 5L);
  curl_easy_setopt(h, CURLOPT_FOLLOWLOCATION, 1L);
  curl_easy_setopt(h, CURLOPT_NOPROGRESS, 0L);
  curl_easy_setopt(h, CURLOPT_PROGRESSFUNCTION, CHttpDownload::ProgressCallback);
  curl_easy_setopt(h, CURLOPT_PROGRESSDATA, t);
  curl_easy_setopt(h, CURLOPT_TIMEOUT_MS, limit_ms > 0 ? limit_ms : 0L);
  curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(h, CURLOPT_BUFFERSIZE, kReceiveBufferBytes);
}

// Asks for the bytes from `from` on, guarded by the validator of the kept
// bytes: If-Range makes a server whose package changed answer with the whole
// new one instead of its tail; what the answer then proves is checked all
// the same, since not every server or proxy honours it. False when out of
// memory.
bool AskFrom(CURL* h, int64_t from, const std::string& validator,
             std::unique_ptr<curl_slist, ListCleanup>* headers) {
  // A range, not a resume offset: libcurl sends no range for an offset of 0.
  curl_easy_setopt(h, CURLOPT_RANGE, (std::to_string(from) + "-").c_str());
  headers->reset(curl_slist_append(nullptr, ("If-Range: " + validator).c_str()));
  curl_easy_setopt(h, CURLOPT_HTTPHEADER, headers->get());
  return *headers != nullptr;
}

using Clock = std::chrono::steady_clock;

// Milliseconds left of an attempt that began at `start` (0: no limit).
// -t limits each attempt, not each request nor the whole download.
long AttemptTimeLeft(Clock::time_point start) {
  if (timeout <= 0) return 0;
  const auto spent = std::chrono::duration_cast<std::chrono::milliseconds>(
      Clock::now() - start).count();
  return static_cast<long>(timeout * 1000L - spent);
}

}  // namespace

Settlement Settle(const AnswerEnd& end) {
  // An answer that wrote nothing (no answer at all, an error status) leaves
  // the kept bytes as good as they were: their identity still guards them.
  if (end.verdict == Verdict::kReject && end.written == 0)
    return {DownloadResult::kFailed, Keep::kBytes};
  if (end.verdict == Verdict::kStale) return {DownloadResult::kStale, Keep::kNothing};
  // The same validator and length, but other bytes before the cut: another
  // version that a resumed download would join to the kept one.
  if (end.seam_broken) return {DownloadResult::kStale, Keep::kNothing};
  // An answer that wrote bytes it then turned out not to be.
  if (end.verdict == Verdict::kReject) return {DownloadResult::kFailed, Keep::kNothing};
  // Never finished alone: a resumed answer can end having brought less than
  // the rest (a 206 whose length falls short of its range, or a body that
  // ended within the overlap).
  if (end.finished) {
    if (end.offset == 0 || end.size == end.complete)
      return {DownloadResult::kComplete, Keep::kBytes};
    // The kept bytes do not lead to one whole version of the package.
    return {DownloadResult::kStale, Keep::kNothing, true};
  }
  // Cut short: the next attempt asks for the rest, if the bytes have an
  // identity that a resumed answer can be held to.
  if (end.offset > 0) return {DownloadResult::kFailed, Keep::kBytes};
  return {DownloadResult::kFailed, end.identified ? Keep::kNewIdentity : Keep::kNothing};
}

size_t Seam::Take(const char* chunk, size_t n) noexcept {
  const size_t overlap = std::min(n, tail_.size() - seen_);
  if (std::memcmp(chunk, tail_.data() + seen_, overlap) != 0) differs_ = true;
  seen_ += overlap;
  return overlap;
}

CHttpDownload::CHttpDownload(const std::string& target) : file_(target) {}

bool CHttpDownload::Verify(const Sha256Digest& listed) {
  // Only when asked for: without a list nothing is hashed.
  digest_.reset(new (std::nothrow) Sha256);
  listed_ = listed;
  return digest_ && digest_->ok();
}

bool CHttpDownload::Drop() {
  kept_ = PackageIdentity();
  if (digest_) digest_->Reset();
  return file_.Truncate();
}

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
  const char* body = static_cast<const char*>(chunk);
  const size_t all = size * count;
  // The overlap only proves where the body belongs: the file has it already.
  const size_t skip = t->seam.Take(body, all);
  if (t->seam.differs()) return kRefuse;
  // A short count ends the transfer; the stream's error flag tells why.
  const size_t n = t->file->Append(body + skip, all - skip);
  // Fed as the body is written, across resumed attempts: the file is never
  // read back to be checked. It sees exactly the bytes the file took.
  if (t->digest != nullptr) t->digest->Update(body + skip, n);
  t->written += static_cast<int64_t>(n);
  return skip + n;
}

int CHttpDownload::ProgressCallback(void* transfer, double dltotal, double dlnow, double,
                                    double) {
  if (trace::On() && dlnow > 0) {
    // Progress never throws: nothing may unwind through libcurl.
    const Transfer* t = static_cast<Transfer*>(transfer);
    const int64_t offset = t->offset - t->seam.asked();
    trace::Progress(offset + static_cast<int64_t>(dlnow),
                    dltotal > 0 ? offset + static_cast<int64_t>(dltotal) : -1);
  }
  return 0;
}

DownloadResult CHttpDownload::DownloadFile(const std::string& url, long limit_ms) {
  if (!WellFormedUrl(url)) return DownloadResult::kNotSent;
  EasyHandle handle(curl_easy_init());
  if (!handle) return DownloadResult::kNotSent;
  CURL* h = handle.get();
  curl_easy_setopt(h, CURLOPT_URL, url.c_str());
  if (!SecureTransfer(h, url)) return DownloadResult::kNotSent;

  int64_t kept = file_.Flush();
  if (kept < 0) return DownloadResult::kLocalFailure;
  // A range is never asked without the validator that guards it, nor with
  // one that could break the request's head.
  if (kept > 0 && (kept_.validator.empty() || !SafeHeaderValue(kept_.validator))) {
    if (!Drop()) return DownloadResult::kLocalFailure;
    kept = 0;
  }
  Transfer t{h, &file_, digest_.get(), kept, &kept_};
  std::unique_ptr<curl_slist, ListCleanup> headers;
  if (kept > 0) {
    std::string tail;
    if (!file_.Tail(OverlapOf(kept), &tail)) return DownloadResult::kLocalFailure;
    t.seam = Seam(std::move(tail));
    if (!AskFrom(h, kept - t.seam.asked(), kept_.validator, &headers))
      return DownloadResult::kLocalFailure;
  }
  SetUp(h, &t, limit_ms);
  const ErrorBuffer error(h);

  trace::NewTransfer();
  const CURLcode code = curl_easy_perform(h);
  const AnswerHead head = ReadHead(h);
  Report(h, head, code, error, ExplainVerdict(head, kept, kept_), kept, &last_);
  const int64_t size = file_.Flush();
  if (size < 0) return DownloadResult::kLocalFailure;
  PackageIdentity identity;
  const bool identified = IdentityOf(head, &identity);
  // A body that ends before all of the overlap came adds nothing, so
  // Settle's length rule refuses it when finished and keeps the bytes when cut.
  last_.overlap = t.seam.asked();
  last_.overlap_matched = t.seam.differs() ? "no" : kept > 0 && t.seam.matched() ? "yes" : "-";
  const Settlement s = Settle({JudgeAnswer(head, kept, kept_), code == CURLE_OK, t.written,
                               kept, size, kept_.complete, identified, t.seam.differs()});
  if (s.short_body) last_.error = "shorter than the package";
  if (t.seam.differs()) last_.error = "other bytes before the cut: the kept bytes are dropped";
  if (s.keep == Keep::kNewIdentity) kept_ = identity;
  if (s.keep == Keep::kNothing && !Drop()) return DownloadResult::kLocalFailure;
  return s.result;
}

DownloadResult CHttpDownload::Attempt(
    const std::string& url, const std::function<void(const TransferFacts&)>& stale) {
  const Clock::time_point start = Clock::now();
  const int64_t before = file_.Flush();
  DownloadResult result = DownloadFile(url, AttemptTimeLeft(start));
  if (result == DownloadResult::kNotSent) {
    last_.error = "refused before any request (URL or settings)";
    return result;
  }
  // The kept bytes turned out stale, usually as soon as the answer's head
  // arrived: ask for the whole package within what is left of the attempt.
  if (result == DownloadResult::kStale) {
    stale(last_);
    const long left = AttemptTimeLeft(start);
    if (timeout <= 0 || left > 0) result = DownloadFile(url, left);
    // The attempt went out and spent its unit: a refetch refused counts as failed.
    if (result == DownloadResult::kNotSent) result = DownloadResult::kFailed;
  }
  if (result == DownloadResult::kComplete && digest_) result = CheckDigest();
  // A write that failed (disk full, file too big) fails again.
  if (result == DownloadResult::kLocalFailure) last_.error = std::strerror(errno);
  progressed_ = !kept_.validator.empty() && file_.Flush() > before;
  return result;
}

DownloadResult CHttpDownload::CheckDigest() {
  Sha256Digest got{};
  const bool hashed = digest_->Final(&got);
  if (hashed && got == listed_) return DownloadResult::kComplete;
  // Not the package the list names, and its bytes may be the corrupt ones:
  // the next attempt fetches it whole.
  last_.error = "SHA-256 is not the listed digest";
  const bool again = hashed && wrong_ == got;
  if (hashed) wrong_ = got;
  if (!Drop()) return DownloadResult::kLocalFailure;
  return again ? DownloadResult::kSameWrongDigest : DownloadResult::kWrongDigest;
}

bool CHttpDownload::Commit(int64_t* bytes) {
  *bytes = file_.Flush();
  return file_.Commit();
}
