#include "address/url.h"

#include <arpa/inet.h>
#include <curl/curl.h>
#include <strings.h>

#include <algorithm>
#include <memory>

namespace {

struct UrlCleanup {
  void operator()(CURLU* url) const { curl_url_cleanup(url); }
};
struct CurlFree {
  void operator()(char* text) const { curl_free(text); }
};
using UrlHandle = std::unique_ptr<CURLU, UrlCleanup>;

// `url` parsed as a transfer parses it; null when libcurl refuses it.
UrlHandle Parse(const std::string& url) {
  UrlHandle parsed(curl_url());
  if (!parsed || curl_url_set(parsed.get(), CURLUPART_URL, url.c_str(),
                              CURLU_GUESS_SCHEME | CURLU_NON_SUPPORT_SCHEME) != CURLUE_OK)
    return nullptr;
  return parsed;
}

// One part of a parsed URL; "" when absent.
std::string UrlPart(CURLU* url, CURLUPart what) {
  char* text = nullptr;
  if (curl_url_get(url, what, &text, 0) != CURLUE_OK) return "";
  std::unique_ptr<char, CurlFree> owned(text);
  return text;
}

// Host texts that name the same host: bracketed IPv6 literals compare as
// addresses (libcurl writes them in their shortest form), the rest without
// regard to case.
bool SameHost(const std::string& a, const std::string& b) {
  if (a.size() > 2 && b.size() > 2 && a.front() == '[' && b.front() == '[') {
    unsigned char x[16], y[16];
    const std::string ia = a.substr(1, a.size() - 2), ib = b.substr(1, b.size() - 2);
    if (inet_pton(AF_INET6, ia.c_str(), x) == 1 && inet_pton(AF_INET6, ib.c_str(), y) == 1)
      return std::equal(x, x + 16, y);
  }
  return a.size() == b.size() && strncasecmp(a.c_str(), b.c_str(), a.size()) == 0;
}

}  // namespace

bool WellFormedUrl(const std::string& url) { return Parse(url) != nullptr; }

// A user name in the server text ends up in libcurl's user part, so the host
// libcurl reads is never the server text's host: no check of its own needed.
bool UrlNamesServer(const std::string& url, const std::string& base) {
  const size_t scheme = base.find("://");
  if (scheme == std::string::npos) return false;
  std::string authority = base.substr(scheme + 3), zone;
  if (authority.empty()) return false;
  // The zone of a link-local authority, "[fe80::1%25eth0]:80".
  const size_t percent = authority.find("%25");
  const size_t close = authority.find(']');
  if (percent != std::string::npos && close != std::string::npos && percent < close) {
    zone = authority.substr(percent + 3, close - percent - 3);
    authority.erase(percent, close - percent);
  }
  // After the last ":" outside the brackets of an IPv6 literal: the port.
  const size_t end = authority.front() == '[' ? authority.find(']') : 0;
  const size_t colon = authority.rfind(':');
  std::string host = authority, port;
  if (end != std::string::npos && colon != std::string::npos && colon > end) {
    host = authority.substr(0, colon);
    port = authority.substr(colon + 1);
  }
  const UrlHandle parsed = Parse(url);
  if (!parsed) return false;
  CURLU* u = parsed.get();
  return SameHost(UrlPart(u, CURLUPART_HOST), host) && UrlPart(u, CURLUPART_PORT) == port &&
         UrlPart(u, CURLUPART_ZONEID) == zone &&
         UrlPart(u, CURLUPART_PATH).compare(0, 11, "/linuxsetup") == 0;
}
