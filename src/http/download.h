// A package download: the temporary file and all else that one -d carries
// from an attempt to the next, and the rules that turn an answer into what
// becomes of the bytes kept.
#ifndef MGMTFETCH_HTTP_DOWNLOAD_H_
#define MGMTFETCH_HTTP_DOWNLOAD_H_

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "http/answer.h"
#include "http/http.h"
#include "http/pacing.h"
#include "http/sha256.h"
#include "http/temp_file.h"

enum class DownloadResult {
  kComplete,      // the file holds the whole package, ready to commit
  kFailed,        // network failure or not the package: worth another attempt
  kStale,         // the kept bytes were dropped: ask for the whole package
  kWrongDigest,   // the whole package, but not the one the list names
  kSameWrongDigest,  // and the same wrong one as the whole package before it
  kLocalFailure,  // writing the file failed: no attempt can mend that
  kNotSent        // refused before any request (the URL, the settings)
};

// How an answer that has ended leaves the file, in the terms Settle needs.
struct AnswerEnd {
  Verdict verdict = Verdict::kReject;
  bool finished = false;    // libcurl saw the transfer through without error
  int64_t written = 0;      // body bytes this answer wrote to the file
  int64_t offset = 0;       // bytes kept before the request, asked to be skipped
  int64_t size = 0;         // bytes the file holds now
  int64_t complete = -1;    // the package's length, as the kept bytes' identity gives it
  bool identified = false;  // the answer's head gives its bytes an identity (IdentityOf)
  bool seam_broken = false;  // a resumed answer repeated other bytes than those kept (Seam)
};

// What becomes of the file's bytes: kept under the identity they had, kept
// under the one the answer gave them, or dropped with their identity.
enum class Keep { kBytes, kNewIdentity, kNothing };

struct Settlement {
  DownloadResult result;
  Keep keep;
  bool short_body = false;  // a whole answer that still left the package short
};

// The rule for every answer: only the package, whole, completes; a body cut
// short is kept when it can be resumed; an answer that wrote bytes and then
// turned out not to be the package, or kept bytes that lead to no whole
// version of it, leave nothing behind.
Settlement Settle(const AnswerEnd& end);

// The overlap of a resumed answer, held against the last kept bytes as its
// body arrives: compared only, never written nor hashed again.
class Seam {
 public:
  Seam() = default;  // nothing asked again: nothing to compare
  explicit Seam(std::string tail) : tail_(std::move(tail)) {}

  // How many bytes at the start of `chunk` are overlap. Once one of them
  // differs from the kept byte it repeats, differs() stays true.
  size_t Take(const char* chunk, size_t n) noexcept;
  int64_t asked() const { return static_cast<int64_t>(tail_.size()); }
  bool differs() const { return differs_; }
  // All of the overlap arrived and repeated the kept bytes.
  bool matched() const { return !differs_ && seen_ == tail_.size(); }

 private:
  std::string tail_;  // the last kept bytes, as many as were asked again
  size_t seen_ = 0;
  bool differs_ = false;
};

// One download of a package into a temporary file beside `target`, following
// up to 5 redirects per request. It owns everything an attempt hands to the
// next: the file, what its bytes are (where they came from, the validator and
// the length of their version), the digest when a list names one, and the
// facts of the last request; so one Drop forgets all of it together.
class CHttpDownload {
 public:
  // Makes the temporary file at once: see ok().
  explicit CHttpDownload(const std::string& target);

  // False when no temporary file could be made (errno says why).
  bool ok() const { return file_.ok(); }
  // From now on only a package with this digest completes. False when
  // libcrypto cannot give a SHA-256.
  bool Verify(const Sha256Digest& listed);

  // One attempt, limited by -t from now: a request for the package, or for
  // its rest when bytes are kept, from OverlapOf(kept) bytes before it, so
  // that the answer has to repeat the last of them (Seam); when they turn
  // out stale, `stale` is told of that request and the whole package is
  // asked for within what is left of the attempt. A whole package is held
  // to the listed digest.
  DownloadResult Attempt(const std::string& url,
                         const std::function<void(const TransferFacts&)>& stale);
  // What the last request met; its error says why an attempt failed.
  const TransferFacts& last() const { return last_; }
  // What the last attempt met, as far as the wait before the next goes.
  pacing::Failure failure() const { return {progressed_, last_.status, last_.retry_after}; }
  // Puts the package in place of the target, *bytes long. False when that failed.
  bool Commit(int64_t* bytes);

  // One request within `limit_ms` milliseconds (0: no limit). The body is
  // appended to the file only if the final answer is the package (or the
  // rest asked for).
  DownloadResult DownloadFile(const std::string& url, long limit_ms);

  // `transfer` is DownloadFile's record of the answer being received.
  static size_t DownloadCallback(void* chunk, size_t size, size_t count,
                                 void* transfer);
  static int ProgressCallback(void* user, double dltotal, double dlnow,
                              double ultotal, double ulnow);

 private:
  // Empties the file and forgets what its bytes were, digest included.
  bool Drop();
  // The verdict on a whole package when a list names its digest.
  DownloadResult CheckDigest();

  TempFile file_;
  PackageIdentity kept_;
  std::unique_ptr<Sha256> digest_;  // only when a list names the package
  Sha256Digest listed_{};
  std::optional<Sha256Digest> wrong_;  // of the last whole package refused
  TransferFacts last_;
  bool progressed_ = false;  // the last attempt kept more bytes than it began with
};

#endif  // MGMTFETCH_HTTP_DOWNLOAD_H_
