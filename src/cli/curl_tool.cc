#include "cli/curl_tool.h"

#include <cstdio>

#include "address/address.h"
#include "http/http.h"

int32_t retry = 10;

namespace {

// Takes one unit of the run's budget; false once it is spent.
bool TakeAttempt() {
  if (retry <= 0) return false;
  --retry;
  return true;
}

}  // namespace

void usage() {
  puts("\n\t\tversion: 1.0 \t(c) the mgmtfetch authors\n");
  puts("    -a | --address\t\tserver addr;");
  puts("    -w | --version\t\tserver version;");
  puts("    -d | --download\t\tdownload client pack from server;");
  puts("    -t | --timeout\t\tset timeout to server;");
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
  int result = -1;
  CHttpDownload download;
  while (TakeAttempt()) {
    if (download.DownloadFile(url, file) >= 0) {
      result = 0;
      break;
    }
  }
  return result;
}
