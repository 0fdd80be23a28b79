#include "cli/curl_tool.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>

#include "address/address.h"
#include "http/http.h"
#include "http/temp_file.h"

int32_t retry = 10;

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
  std::string answer;
  // Without a server, "http:///version.info" would make libcurl look up a
  // host named "version.info" through the system resolver: such attempts
  // fail without any traffic, still drawing on the budget.
  while (answer.empty() && TakeAttempt()) {
    if (server.empty()) continue;
    answer = postit2::GetData(base + "/version.info");
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
  if (!SplitPackageUrl(url, &parts) || parts.server.empty()) return -1;
  // The given scheme is dropped: the port decides it, as for -a.
  url = FormatIpAddr(GetServerIp(parts.server)) + parts.path;
  const std::string file = PackageFileName(url);

  // With the budget already spent nothing is fetched, and that is a failure:
  // reporting 0 would tell a script the package is here when it is not.
  if (retry <= 0) return -1;
  // Retry what the network may mend, not what the local machine refuses: a
  // target or temporary file that cannot be made ends the download before
  // any request, taking nothing from the budget.
  if (UnusableTarget(file)) return -1;
  TempFile temp(file);
  if (!temp.ok()) return -1;
  // The bytes and validator kept between attempts live here, for exactly
  // one -d: the next -d, even of this URL, starts afresh, and the file goes
  // whatever way this function is left.
  PartialDownload partial{&temp, ""};
  CHttpDownload download;
  while (retry > 0) {
    const Clock::time_point start = Clock::now();
    DownloadResult result = download.DownloadFile(url, &partial, AttemptTimeLeft(start));
    if (result == DownloadResult::kNotSent) return -1;
    --retry;
    // The kept bytes turned out stale, usually as soon as the answer's head
    // arrived: ask for the whole package within what is left of the attempt.
    if (result == DownloadResult::kStale) {
      const long left = AttemptTimeLeft(start);
      if (timeout <= 0 || left > 0) result = download.DownloadFile(url, &partial, left);
    }
    if (result == DownloadResult::kComplete) return temp.Commit() ? 0 : -1;
    // A write that failed (disk full, file too big) fails again.
    if (result == DownloadResult::kLocalFailure) return -1;
  }
  return -1;
}
