// How a transfer authenticates the server, as chosen by the environment,
// and which transfers never go through a proxy.
// By default nothing is checked: management servers commonly present
// self-signed certificates, and fleets rely on reaching them anyway. A fleet
// that knows its server opts in with a pinned public key or a CA bundle.
#ifndef MGMTFETCH_HTTP_SECURE_H_
#define MGMTFETCH_HTTP_SECURE_H_

#include <string>
#include <vector>

// The variables that switch authentication on; each counts only when set
// and not empty.
constexpr char kPinnedKeyVariable[] = "MGMTFETCH_PINNEDPUBKEY";
constexpr char kCaFileVariable[] = "MGMTFETCH_CACERT";

struct TlsPolicy {
  // No transfer at all: authentication was asked for and the URL cannot
  // give it.
  bool refuse = false;
  // Chain and host name checked against `ca_file` alone.
  bool verify = false;
  std::string ca_file;
  // CURLOPT_PINNEDPUBLICKEY: a key file or "sha256//" hashes; "" for none.
  std::string pin;
  // Schemes allowed for the URL and for every redirect.
  std::string protocols;
  // Files the settings name; one that cannot be read refuses the transfer,
  // so a lost key or bundle never falls back to no authentication.
  std::vector<std::string> files;
};

// The policy for a transfer of `url` given the two variables' values
// (null when unset).
TlsPolicy ChooseTlsPolicy(const char* pinned_key, const char* ca_file,
                          const std::string& url);

// Whether the URL's host is a bracketed IPv6 address in fe80::/10, in any
// case, with or without a zone. Such a server is reached only through its
// own link, never through a proxy.
bool LinkLocalUrl(const std::string& url);

#endif  // MGMTFETCH_HTTP_SECURE_H_
