#include "cli/curl_tool.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>

#include "address/address.h"
#include "address/url.h"
#include "http/download.h"
#include "http/http.h"
#include "http/retry_wait.h"
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
                          {"overlap", static_cast<long long>(f.overlap)},
                          {"overlap_matched", f.overlap_matched},
                          {"ms", trace::MsSince(began)}, {"outcome", outcome},
                          {"error", f.error}});
}

// The trace's word for how a download attempt ended.
void TraceAttempt(const char* job, const TransferFacts& f, DownloadResult result,
                  int64_t began) {
  switch (result) {
    case DownloadResult::kNotSent: return TraceAttempt(job, f, "not sent", began);
    case DownloadResult::kComplete: return TraceAttempt(job, f, "complete", began);
    case DownloadResult::kLocalFailure: return TraceAttempt(job, f, "local failure", began);
    case DownloadResult::kWrongDigest:
    case DownloadResult::kSameWrongDigest: return TraceAttempt(job, f, "rejected", began);
    default: return TraceAttempt(job, f, f.outcome.c_str(), began);
  }
}

// A download refused before its request was sent (the URL, the settings)
// fails as it would again, and takes back the unit its attempt took.
int Unsent(const TransferFacts& f, int64_t began) {
  ++retry;
  TraceAttempt("-d", f, DownloadResult::kNotSent, began);
  return -1;
}

// Puts the complete package in place of the target.
int Commit(CHttpDownload* download, const std::string& file) {
  int64_t bytes = 0;
  const bool landed = download->Commit(&bytes);
  const int err = errno;
  if (trace::On())
    trace::Emit("commit", {{"file", file}, {"bytes", static_cast<long long>(bytes)},
                           {"framing", download->last().framing},
                           {"outcome", landed ? "landed" : "failed"},
                           {"error", landed ? "" : std::strerror(err)}});
  return landed ? 0 : -1;
}

// The digest MGMTFETCH_SHA256SUMS lists for `file`, when it names a list:
// that list vouches for the package or the download fails, never a fall
// back to no check at all. The status to end the -d with, or none to go on.
std::optional<int> ListedDigest(const std::string& file, std::optional<Sha256Digest>* listed) {
  const char* sums = std::getenv(kSumsVariable);
  if (sums == nullptr || *sums == '\0') return std::nullopt;
  std::string list;
  if (!ReadSumsFile(sums, &list))
    return Skip("-d", std::string("unusable digest list: cannot read ") + sums);
  listed->emplace();
  if (!FindListedDigest(list, file, &**listed))
    return Skip("-d", "unusable digest list: no one digest for " + file);
  // Already right: a re-run costs a read instead of a download, and the
  // file (its modification time included) stays as it is.
  Sha256Digest there{};
  if (Sha256OfFile(file, &there) && there == **listed) {
    Skip("-d", "already verified: " + file);
    return 0;
  }
  return std::nullopt;
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
  pacing::JobWaits waits("-w");
  std::optional<pacing::Failure> failed;  // of the last attempt that was sent
  // Without a server, "http:///version.info" would make libcurl look up a
  // host named "version.info" through the system resolver: such attempts
  // fail without any traffic, still drawing on the budget, and never wait.
  while (answer.empty() && TakeAttempt()) {
    if (failed) waits.Before(kAttemptBudget - retry, *failed);
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
    failed = pacing::Failure{false, facts.status, facts.retry_after};
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
  std::optional<Sha256Digest> listed;
  if (const std::optional<int> status = ListedDigest(file, &listed)) return *status;
  // With the budget already spent nothing is fetched, and that is a failure:
  // reporting 0 would tell a script the package is here when it is not.
  if (retry <= 0) return Skip("-d", "budget spent");
  // Retry what the network may mend, not what the local machine refuses: a
  // target or temporary file that cannot be made ends the download before
  // any request, taking nothing from the budget, and before a link-local
  // server is searched for.
  if (UnusableTarget(file)) return Skip("-d", "unusable target: " + file);
  // The bytes and all else kept between attempts live here, for exactly one
  // -d: the next -d, even of this URL, starts afresh, and the file goes
  // whatever way this function is left.
  CHttpDownload download(file);
  if (!download.ok()) return Skip("-d", std::string("no temporary file: ") + std::strerror(errno));
  if (listed && !download.Verify(*listed)) return Skip("-d", "no SHA-256 from libcrypto");
  // The given scheme is dropped: the port decides it, as for -a.
  const std::string base = FormatIpAddr(GetServerIp(parts.server));
  if (trace::On()) trace::Emit("address", {{"job", "-d"}, {"given", url}, {"url", base + parts.path}});
  url = base + parts.path;
  // Server text holding "#", "?" or "@" would let libcurl read another host
  // out of the rebuilt URL than the one the server part names.
  if (!UrlNamesServer(url, base)) return Skip("-d", "bad URL: it names another server");
  pacing::JobWaits waits("-d");
  for (bool first = true; TakeAttempt(); first = false) {
    if (!first) waits.Before(kAttemptBudget - retry, download.failure());
    int64_t began = trace::NowMs();
    const DownloadResult result = download.Attempt(url, [&began](const TransferFacts& stale) {
      TraceAttempt("-d", stale, "stale", began);
      began = trace::NowMs();
    });
    if (result == DownloadResult::kNotSent) return Unsent(download.last(), began);
    if (result != DownloadResult::kStale) TraceAttempt("-d", download.last(), result, began);
    if (result == DownloadResult::kComplete) return Commit(&download, file);
    // A write that failed (disk full, file too big) fails again. Unpaced, a
    // server that gave the same wrong package twice is not mid-rollout and
    // gives it again.
    if (result == DownloadResult::kLocalFailure) return -1;
    if (result == DownloadResult::kSameWrongDigest && !waits.on()) return -1;
  }
  return -1;
}
