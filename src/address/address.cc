#include "address/address.h"

#include <chrono>
#include <cstring>
#include <vector>

#include "http/http.h"
#include "http/race.h"
#include "http/trace.h"
#include "netif/netif.h"

namespace {

bool IsLinkLocal(const std::string& address) {
  return address.compare(0, 5, "fe80:") == 0;
}

// Whether libcurl, given "%25" + zone inside the brackets, reads back this
// very interface name. It ends the zone at the first "]" (so "eth1]#" would
// be read as zone eth1 on the default port, another link), cuts the whole
// URL at "/", "?" and "#", takes the text before an "@" as a user name,
// refuses control bytes and a zone over 15 bytes, and takes a zone that
// reads as a decimal number as an interface index: a link named "2" would
// be left through whatever interface has index 2.
bool ZoneSurvivesUrl(const std::string& zone) {
  if (zone.empty() || zone.size() > 15) return false;
  const size_t sign = (zone[0] == '+' || zone[0] == '-') ? 1 : 0;
  if (zone.size() > sign &&
      zone.find_first_not_of("0123456789", sign) == std::string::npos)
    return false;
  for (const unsigned char c : zone) {
    if (c <= ' ' || c == 0x7f || std::strchr("]/?#@", c) != nullptr) return false;
  }
  return true;
}

// A probe that has not been answered by then no longer holds up the next
// interface's; it keeps running beside it.
constexpr std::chrono::milliseconds kProbeStagger{250};

// The probe of one scoped candidate address. The body names the candidate
// bare ("%eth0"), as the server expects it; only the URL escapes the zone.
PostRequest ProbeOf(const std::string& candidate) {
  return {FormatIpAddr(candidate) + "/support/getuseraddressbyurl",
          "{\"ip\":[" + candidate + "]}"};
}

// One probe event per interface, then the winner.
void TraceDiscovery(const std::vector<std::string>& names,
                    const std::vector<PostOutcome>& outcomes, int winner, int64_t began) {
  for (size_t i = 0; i < names.size() && i < outcomes.size(); ++i) {
    const PostOutcome& o = outcomes[i];
    const char* outcome = !o.sent ? "not sent" : o.answered ? "answered" : "no answer";
    std::string error = o.error;
    if (!o.sent) error = winner >= 0 ? "another link answered first" : "could not start";
    trace::Emit("probe", {{"interface", names[i]}, {"outcome", outcome}, {"status", o.status},
                          {"error", error}, {"ms", o.ms}});
  }
  trace::Emit("discovery", {{"interface", winner < 0 ? "" : names[winner]},
                            {"ms", trace::MsSince(began)}});
}

}  // namespace

std::string Insert_Ipv6_Interface(std::string address, std::string interface) {
  const size_t colon = address.rfind(':');
  if (colon == std::string::npos) return address;
  const std::string host = address.substr(0, colon);
  const std::string port = address.substr(colon + 1);
  if (IsLinkLocal(address)) return host + "%" + interface + ":" + port;
  // A dotless host name with a port ("localhost:8080") must stay as it is:
  // brackets are for IPv6 literals only, and libcurl rejects "[localhost]".
  if (host.find(':') == std::string::npos) return address;
  return "[" + host + "]:" + port;
}

std::string GetServerIp(std::string address) {
  if (address.find('.') != std::string::npos) return address;
  if (IsLinkLocal(address))
    return Insert_Ipv6_Interface(address, Gen_Ipv6_Interface(address));
  return Insert_Ipv6_Interface(address, "");
}

std::string FormatIpAddr(std::string address) {
  const size_t colon = address.rfind(':');
  if (colon == std::string::npos) return "http://" + address;
  const std::string port = address.substr(colon + 1);
  // Byte-wise on purpose: the port is text here, never a number.
  const bool https = port.size() >= 3 && port.compare("65535") <= 0 &&
                     port.compare(port.size() - 3, 3, "443") == 0;
  const std::string scheme = https ? "https://" : "http://";
  // libcurl only takes a zone inside brackets and with its "%" escaped, so
  // a scoped link-local address is rewritten for the URL; the text itself
  // (as the probe body carries it) keeps the bare form.
  // Only the address decides: interface names hold "." too (eth0.100).
  const size_t percent = address.find('%');
  if (IsLinkLocal(address) && percent < colon &&
      address.find('.') > percent) {
    const std::string host = address.substr(0, percent);
    const std::string zone = address.substr(percent + 1, colon - percent - 1);
    // A zone libcurl would misread (with no interface found, "%25" alone
    // reads as interface index 25) is left out: the kernel refuses a
    // link-local connection without a scope, so the request fails cleanly
    // instead of leaving through a stranger.
    if (!ZoneSurvivesUrl(zone)) return scheme + "[" + host + "]:" + port;
    return scheme + "[" + host + "%25" + zone + "]:" + port;
  }
  return scheme + address;
}

int Confirm_Connect(std::string candidate) {
  const PostRequest probe = ProbeOf(candidate);
  const std::string answer = postit2::PostData(
      probe.url, reinterpret_cast<const unsigned char*>(probe.body.data()),
      static_cast<int64_t>(probe.body.size()));
  return answer.empty() ? -1 : 0;
}

std::string Gen_Ipv6_Interface(std::string address) {
  std::vector<std::string> names;
  GetNetInterface(names);
  std::vector<PostRequest> probes;
  for (const std::string& name : names)
    probes.push_back(ProbeOf(Insert_Ipv6_Interface(address, name)));
  const int64_t began = trace::NowMs();
  std::vector<PostOutcome> outcomes;
  const int winner = RacePosts(probes, kProbeStagger, trace::On() ? &outcomes : nullptr);
  if (trace::On()) TraceDiscovery(names, outcomes, winner, began);
  return winner < 0 ? "" : names[winner];
}
