#include "http/secure.h"

#include <cctype>
#include <string_view>

namespace {

bool Set(const char* value) { return value != nullptr && *value != '\0'; }

bool StartsWith(const std::string& text, const char* prefix) {
  return text.compare(0, std::char_traits<char>::length(prefix), prefix) == 0;
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
