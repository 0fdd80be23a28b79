// The package URL split and the local file name on arbitrary text, and the
// URL rebuilt from them as the download does it (for server parts whose
// normalisation needs no network).
#include <cstddef>
#include <cstdint>
#include <string>

#include "address/address.h"
#include "cli/curl_tool.h"
#include "fuzz_check.h"

namespace {

void CheckFileName(const std::string& url) {
  const std::string name = PackageFileName(url);
  FUZZ_CHECK(name.find('/') == std::string::npos);
  FUZZ_CHECK(EndsWith(url, name));
  if (url.find('/') == std::string::npos) {
    FUZZ_CHECK(name == url);
  } else {
    FUZZ_CHECK(url[url.size() - name.size() - 1] == '/');
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string url(reinterpret_cast<const char*>(data), size);
  CheckFileName(url);

  PackageUrl parts;
  const bool ok = SplitPackageUrl(url, &parts);
  const size_t first = url.find("/linuxsetup");
  const bool splittable = first != std::string::npos &&
                          url.substr(0, first).find('/') != std::string::npos;
  FUZZ_CHECK(ok == splittable);
  if (!ok) return 0;

  FUZZ_CHECK(StartsWith(parts.path, "/linuxsetup"));
  FUZZ_CHECK(parts.server.find('/') == std::string::npos);
  FUZZ_CHECK(url.size() - parts.path.size() == first);
  const std::string tail = parts.server + parts.path;
  FUZZ_CHECK(EndsWith(url, tail));
  FUZZ_CHECK(url[url.size() - tail.size() - 1] == '/');

  const std::string& server = parts.server;
  // Link-local text is probed, or with a "%" written as a scoped URL.
  if (StartsWith(server, "fe80:") &&
      (server.find('.') == std::string::npos || server.find('%') != std::string::npos))
    return 0;
  // The scheme and authority rules are the address target's; here only
  // what the download makes of them.
  const std::string authority = GetServerIp(server);
  const std::string rebuilt = FormatIpAddr(authority) + parts.path;
  FUZZ_CHECK(PackageFileName(rebuilt) == PackageFileName(url));

  // The rebuilt URL splits the same way: the download asks the server it
  // named for the path it was given.
  PackageUrl again;
  FUZZ_CHECK(SplitPackageUrl(rebuilt, &again));
  FUZZ_CHECK(again.path == parts.path);
  FUZZ_CHECK(again.server == authority);
  return 0;
}
