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
  const std::string base = FormatIpAddr(GetServerIp(address_));
  std::string answer;
  while (answer.empty() && TakeAttempt()) {
    answer = postit2::GetData(base + "/version.info");
  }
  printf("%s", answer.c_str());
}

int CurlTool::download_package(std::string url) {
  const size_t split = url.find("/linuxsetup");
  if (split == std::string::npos) return -1;
  const std::string head = url.substr(0, split);
  const size_t slash = head.rfind('/');
  if (slash == std::string::npos) return -1;
  const std::string server = head.substr(slash + 1);
  url = FormatIpAddr(GetServerIp(server)) + url.substr(split);
  const std::string file = url.substr(url.rfind('/') + 1);

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
