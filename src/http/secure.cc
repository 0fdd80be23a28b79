#include "http/secure.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cstdlib>
#include <string_view>

#include "http/easy.h"

namespace {

bool Set(const char* value) { return value != nullptr && *value != '\0'; }

bool StartsWith(const std::string& text, const char* prefix) {
  return text.compare(0, std::char_traits<char>::length(prefix), prefix) == 0;
}

// A regular file that is not empty and may be opened. A directory or an
// empty file could authenticate nothing, and reading a FIFO could block the
// run past any time-out.
bool Readable(const std::string& path) {
  struct stat st {};
  if (stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_size == 0)
    return false;
  return access(path.c_str(), R_OK) == 0;
}

}  // namespace

TlsPolicy ChooseTlsPolicy(const char* pinned_key, const char* ca_file,
                          const std::string& url) {
  TlsPolicy policy;
  // Never another protocol that libcurl happens to support, not even
  // through a redirect.
  policy.protocols = "http,https";
  if (!Set(pinned_key) && !Set(ca_file)) return policy;

  // Plain HTTP cannot authenticate anything, so it may be neither the
  // start nor a step of the transfer.
  policy.protocols = "https";
  policy.refuse = !StartsWith(url, "https://");
  if (Set(pinned_key)) {
    policy.pin = pinned_key;
    if (!StartsWith(policy.pin, "sha256//")) policy.files.push_back(policy.pin);
  }
  if (Set(ca_file)) {
    policy.verify = true;
    policy.ca_file = ca_file;
    policy.files.push_back(policy.ca_file);
  }
  return policy;
}

bool LinkLocalUrl(const std::string& url) {
  // The host as libcurl reads it: after the scheme and any user part, up
  // to the path, query or fragment.
  const size_t scheme = url.find("://");
  if (scheme == std::string::npos) return false;
  const size_t start = scheme + 3;
  std::string host = url.substr(start, url.find_first_of("/?#", start) - start);
  const size_t at = host.rfind('@');
  if (at != std::string::npos) host.erase(0, at + 1);
  // fe80::/10 is a first group of four hex digits from fe80 to febf; a
  // shorter group ("fe8:") has leading zeros left out and lies elsewhere.
  if (host.size() < 6 || host[0] != '[' || host[5] != ':') return false;
  const auto lower = [&host](size_t i) {
    return static_cast<char>(std::tolower(static_cast<unsigned char>(host[i])));
  };
  return lower(1) == 'f' && lower(2) == 'e' &&
         std::string_view("89ab").find(lower(3)) != std::string_view::npos &&
         std::isxdigit(static_cast<unsigned char>(host[4]));
}

bool SecureTransfer(CURL* handle, const std::string& url) {
  const TlsPolicy policy = ChooseTlsPolicy(std::getenv(kPinnedKeyVariable),
                                           std::getenv(kCaFileVariable), url);
  if (policy.refuse) return false;
  for (const std::string& file : policy.files)
    if (!Readable(file)) return false;

  // Unlike the other settings these are checked: a libcurl that cannot
  // apply one would otherwise carry on without the authentication asked for.
  bool ok = true;
  const auto set = [&](CURLoption option, auto value) {
    ok = ok && curl_easy_setopt(handle, option, value) == CURLE_OK;
  };
  // Either list alone keeps a download's redirects on the allowed schemes;
  // both are set so that no single slip lets another through.
  set(CURLOPT_PROTOCOLS_STR, policy.protocols.c_str());
  set(CURLOPT_REDIR_PROTOCOLS_STR, policy.protocols.c_str());
  set(CURLOPT_SSL_VERIFYPEER, policy.verify ? 1L : 0L);
  set(CURLOPT_SSL_VERIFYHOST, policy.verify ? 2L : 0L);
  if (policy.verify) {
    set(CURLOPT_CAINFO, policy.ca_file.c_str());
    // Only the given bundle vouches for the server, not the system's store.
    set(CURLOPT_CAPATH, static_cast<const char*>(nullptr));
  }
  if (!policy.pin.empty()) set(CURLOPT_PINNEDPUBLICKEY, policy.pin.c_str());
  // A link-local address means a link of this host: a fleet's proxy cannot
  // reach it (the zone is lost on the way) and would answer in the
  // server's stead. Other servers keep libcurl's proxy variables, which
  // fleets behind a proxy rely on.
  if (LinkLocalUrl(url)) set(CURLOPT_NOPROXY, "*");
  return ok;
}
