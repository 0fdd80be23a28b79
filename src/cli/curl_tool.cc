#include "cli/curl_tool.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>

#include "address/address.h"
#include "address/url.h"
#include "http/http.h"
#include "http/sha256.h"
#include "http/sums.h"
#include "http/temp_file.h"
#include "http/trace.h"

int32_t retry = kAttemptBudget;

namespace {

// Takes one unit of the run's budget; false once it is spent.
bool TakeAttempt() {
  if (retry <= 0) return false;
  --retry;
  return true;
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

// The trace's word on a job that made no attempt; the job's result.
int Skip(const char* job, const std::string& reason) {
  if (trace::On()) trace::Emit("skip", {{"job", job}, {"reason", reason}});
  return -1;
}

void TraceAttempt(const char* job, const TransferFacts& f, const char* outcome,
                  int64_t began) {
  if (!trace::On()) return;
  trace::Emit("attempt", {{"job", job}, {"number", kAttemptBudget - retry}, {"left", retry},
                          {"url", f.url}, {"status", f.status},
                          {"bytes", static_cast<long long>(f.bytes)},
                          {"resumed_from", static_cast<long long>(f.from)},
                          {"ms", trace::MsSince(began)}, {"outcome", outcome},
                          {"error", f.error}});
}

// Puts the complete package in place of the target; `framing` is how its
// last answer's end was known.
int Commit(TempFile* temp, const std::string& file, const std::string& framing) {
  const int64_t bytes = temp->Flush();
  const bool landed = temp->Commit();
  const int err = errno;
  if (trace::On())
    trace::Emit("commit", {{"file", file}, {"bytes", static_cast<long long>(bytes)},
                           {"framing", framing}, {"outcome", landed ? "landed" : "failed"},
                           {"error", landed ? "" : std::strerror(err)}});
  return landed ? 0 : -1;
}

}  // namespace

void usage() {
  puts("\n\t\tversion: 1.0 \t(c) the mgmtfetch authors\n");
  puts("    -a | --address\t\tserver addr;");
  puts("    -w | --version\t\tserver version;");
  puts("    -d | --download\t\tdownload client pack from server;");
  puts("    -t | --timeout\t\tset timeout to server;");
}

bool ParseTimeout(const char* text, int32_t* seconds) {
  const char* digits = text;
  while (std::isspace(static_cast<unsigned char>(*digits))) ++digits;
  if (*digits == '+' || *digits == '-') ++digits;
  // A typo ("-t abc", or "--timeout 30" read as "-t imeout") must not lift
  // every limit and let a stalled server hold the run for ever.
  if (!std::isdigit(static_cast<unsigned char>(*digits))) return false;
  // strtoll saturates at its own range, which holds int32_t's.
  const long long value = std::strtoll(text, nullptr, 10);
  *seconds = static_cast<int32_t>(std::clamp<long long>(value, INT32_MIN, INT32_MAX));
  return true;
}

CurlTool::CurlTool() { timeout = NETWORK_TIMEOUT_SECONED; }

void CurlTool::get_server_version() {
  const std::string server = GetServerIp(address_);
  const std::string base = FormatIpAddr(server);
  if (trace::On()) trace::Emit("address", {{"job", "-w"}, {"given", address_}, {"url", base}});
  if (retry <= 0) Skip("-w", "budget spent");
  std::string answer;
  // Without a server, "http:///version.info" would make libcurl look up a
  // host named "version.info" through the system resolver: such attempts
  // fail without any traffic, still drawing on the budget.
  while (answer.empty() && TakeAttempt()) {
    TransferFacts facts;
    const int64_t began = trace::NowMs();
    if (server.empty()) {
      facts.error = "no server address (-a) before -w";
      TraceAttempt("-w", facts, "not sent", began);
      continue;
    }
    facts.url = base + "/version.info";
    answer = postit2::GetData(facts.url, &facts);
    if (answer.empty() && facts.error.empty()) facts.error = "empty answer";
    TraceAttempt("-w", facts, answer.empty() ? "failed" : "complete", began);
  }
  printf("%s", answer.c_str());
}

bool SplitPackageUrl(const std::string& url, PackageUrl* parts) {
  const size_t split = url.find("/linuxsetup");
  if (split == std::string::npos || split == 0) return false;
  const size_t slash = url.rfind('/', split - 1);
  if (slash == std::string::npos) return false;
  parts->server = url.substr(slash + 1, split - slash - 1);
  parts->path = url.substr(split);
  return true;
}

std::string PackageFileName(const std::string& url) {
  const size_t slash = url.rfind('/');
  return slash == std::string::npos ? url : url.substr(slash + 1);
}

int CurlTool::download_package(std::string url) {
  PackageUrl parts;
  // An empty server part would send the path's first word to the resolver.
  if (!SplitPackageUrl(url, &parts) || parts.server.empty())
    return Skip("-d", "bad URL: no server part before /linuxsetup");
  // The path holds "/linuxsetup", so its last segment is the URL's.
  const std::string file = PackageFileName(parts.path);

  // A list of digests, when one is named, vouches for the package or the
  // download fails: never a fall back to no check at all.
  Sha256Digest listed{};
  const char* sums = std::getenv(kSumsVariable);
  const bool verify = sums != nullptr && *sums != '\0';
  if (verify) {
    std::string list;
    if (!ReadSumsFile(sums, &list))
      return Skip("-d", std::string("unusable digest list: cannot read ") + sums);
    if (!FindListedDigest(list, file, &listed))
      return Skip("-d", "unusable digest list: no one digest for " + file);
    // Already right: a re-run costs a read instead of a download, and the
    // file (its modification time included) stays as it is.
    Sha256Digest there{};
    if (Sha256OfFile(file, &there) && there == listed) {
      Skip("-d", "already verified: " + file);
      return 0;
    }
  }

  // With the budget already spent nothing is fetched, and that is a failure:
  // reporting 0 would tell a script the package is here when it is not.
  if (retry <= 0) return Skip("-d", "budget spent");
  // Retry what the network may mend, not what the local machine refuses: a
  // target or temporary file that cannot be made ends the download before
  // any request, taking nothing from the budget, and before a link-local
  // server is searched for.
  if (UnusableTarget(file)) return Skip("-d", "unusable target: " + file);
  TempFile temp(file);
  if (!temp.ok()) return Skip("-d", std::string("no temporary file: ") + std::strerror(errno));
  // Fed as the body is written, across resumed attempts: the file is never
  // read back to be checked.
  // Only when asked for: without a list the download stays one thread.
  std::unique_ptr<Sha256> digest;
  if (verify) {
    digest.reset(new (std::nothrow) Sha256);
    if (!digest || !digest->ok()) return Skip("-d", "no SHA-256 from libcrypto");
    temp.TrackDigest(digest.get());
  }
  // The given scheme is dropped: the port decides it, as for -a.
  const std::string base = FormatIpAddr(GetServerIp(parts.server));
  const std::string given = url;
  url = base + parts.path;
  if (trace::On()) trace::Emit("address", {{"job", "-d"}, {"given", given}, {"url", url}});
  // Server text holding "#", "?" or "@" would let libcurl read another host
  // out of the rebuilt URL than the one the server part names.
  if (!UrlNamesServer(url, base)) return Skip("-d", "bad URL: it names another server");
  // The bytes and their identity kept between attempts live here, for exactly
  // one -d: the next -d, even of this URL, starts afresh, and the file goes
  // whatever way this function is left.
  PartialDownload partial{&temp, {}, {}};
  CHttpDownload download;
  while (retry > 0) {
    const Clock::time_point start = Clock::now();
    int64_t began = trace::NowMs();
    DownloadResult result = download.DownloadFile(url, &partial, AttemptTimeLeft(start));
    if (result == DownloadResult::kNotSent) {
      partial.last.error = "refused before any request (URL or settings)";
      TraceAttempt("-d", partial.last, "not sent", began);
      return -1;
    }
    --retry;
    // The kept bytes turned out stale, usually as soon as the answer's head
    // arrived: ask for the whole package within what is left of the attempt.
    if (result == DownloadResult::kStale) {
      TraceAttempt("-d", partial.last, "stale", began);
      began = trace::NowMs();
      const long left = AttemptTimeLeft(start);
      if (timeout <= 0 || left > 0) result = download.DownloadFile(url, &partial, left);
    }
    if (result == DownloadResult::kComplete) {
      Sha256Digest got{};
      if (!verify || (digest->Final(&got) && got == listed)) {
        TraceAttempt("-d", partial.last, "complete", began);
        return Commit(&temp, file, partial.last.framing);
      }
      // Not the package the list names, and its bytes may be the corrupt
      // ones: the next attempt fetches it whole.
      partial.last.error = "SHA-256 is not the listed digest";
      TraceAttempt("-d", partial.last, "rejected", began);
      partial.kept = PackageIdentity();
      if (!temp.Truncate()) return -1;
      continue;
    }
    // A write that failed (disk full, file too big) fails again.
    if (result == DownloadResult::kLocalFailure) {
      partial.last.error = std::strerror(errno);
      TraceAttempt("-d", partial.last, "local failure", began);
      return -1;
    }
    if (result != DownloadResult::kStale)
      TraceAttempt("-d", partial.last, partial.last.outcome.c_str(), began);
  }
  return -1;
}
