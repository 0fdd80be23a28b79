// Address normalisation and the scheme choice on arbitrary text. Input:
// the address text, optionally followed by "\n" and an interface name.
// The link-local road of GetServerIp probes the network, so it is left out
// here; its text rules are reached through Insert_Ipv6_Interface. What is
// checked is what a URL built from any text must hold, not each rule again.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>

#include "address/address.h"
#include "fuzz_check.h"

namespace {

bool IsLinkLocal(const std::string& s) { return StartsWith(s, "fe80:"); }

// Byte-wise, bytes taken as unsigned, the shorter prefix sorting first.
bool NotAbove65535(const std::string& port) {
  const std::string limit = "65535";
  return !std::lexicographical_compare(
      limit.begin(), limit.end(), port.begin(), port.end(),
      [](char a, char b) {
        return static_cast<unsigned char>(a) < static_cast<unsigned char>(b);
      });
}

void CheckFormat(const std::string& address) {
  const std::string url = FormatIpAddr(address);
  const bool https = StartsWith(url, "https://");
  FUZZ_CHECK(https || StartsWith(url, "http://"));

  const size_t colon = address.rfind(':');
  const std::string port =
      colon == std::string::npos ? "" : address.substr(colon + 1);
  const bool wants_https =
      port.size() >= 3 && EndsWith(port, "443") && NotAbove65535(port);
  FUZZ_CHECK(https == wants_https);

  // The authority is the text itself, except for a scoped link-local
  // address, which is bracketed with its "%" escaped.
  const std::string authority = url.substr(https ? 8 : 7);
  if (authority == address) return;
  const size_t percent = address.find('%');
  FUZZ_CHECK(IsLinkLocal(address));
  FUZZ_CHECK(percent != std::string::npos && percent < colon);
  const std::string host = address.substr(0, percent);
  const std::string zone = address.substr(percent + 1, colon - percent - 1);
  const std::string rest = address.substr(colon);
  FUZZ_CHECK(host.find('.') == std::string::npos);
  // A zone is carried only if libcurl reads back this very name: nothing
  // that ends it early or cuts the URL, and no number (an interface index).
  if (authority == "[" + host + "]" + rest) return;
  FUZZ_CHECK(authority == "[" + host + "%25" + zone + "]" + rest);
  FUZZ_CHECK(!zone.empty() && zone.find_first_of("]/?#@") == std::string::npos);
  const size_t sign = zone[0] == '+' || zone[0] == '-';
  FUZZ_CHECK(zone.size() == sign ||
             zone.find_first_not_of("0123456789", sign) != std::string::npos);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string input(reinterpret_cast<const char*>(data), size);
  const size_t newline = input.find('\n');
  const std::string address = input.substr(0, newline);
  const std::string interface =
      newline == std::string::npos ? "eth0" : input.substr(newline + 1);

  CheckFormat(address);
  CheckFormat(Insert_Ipv6_Interface(address, interface));
  // Link-local text without a "." would be probed for on the network.
  if (!IsLinkLocal(address) || address.find('.') != std::string::npos)
    CheckFormat(GetServerIp(address));
  return 0;
}
