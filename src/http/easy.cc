#include "http/easy.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>

#include "http/secure.h"

namespace {

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

ErrorBuffer::ErrorBuffer(CURL* handle) { curl_easy_setopt(handle, CURLOPT_ERRORBUFFER, text_); }

int64_t RetryAfterSeconds(CURL* handle) {
  curl_off_t seconds = 0;
  curl_easy_getinfo(handle, CURLINFO_RETRY_AFTER, &seconds);
  return seconds;
}

std::string ErrorBuffer::Explain(CURLcode code) const {
  if (code == CURLE_OK) return "";
  return text_[0] != '\0' ? text_ : curl_easy_strerror(code);
}
