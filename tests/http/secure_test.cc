// Which settings the two authentication variables give a transfer, and
// which URLs name a link-local server (never reached through a proxy).
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "http/secure.h"

namespace {

TEST(ChooseTlsPolicy, FollowsTheVariablesAndTheScheme) {
  struct Row {
    const char *pin, *ca, *url;
    bool refuse, verify;
    std::string protocols;
    std::vector<std::string> files;
  };
  const char* hash = "sha256//a2V5;sha256//b3RoZXI=";
  const char *https = "https://127.0.0.1:443/version.info", *http = "http://127.0.0.1:8443/";
  const Row rows[] = {
      {nullptr, nullptr, http, false, false, "http,https", {}},
      {"", "", https, false, false, "http,https", {}},
      {hash, nullptr, https, false, false, "https", {}},
      {hash, "", http, true, false, "https", {}},
      {"/k.pem", nullptr, https, false, false, "https", {"/k.pem"}},
      {"k.der", "", "http://h:443/https://", true, false, "https", {"k.der"}},
      {"", "/ca.pem", https, false, true, "https", {"/ca.pem"}},
      {nullptr, "/ca.pem", "https:/h:443/", true, true, "https", {"/ca.pem"}},
      {"/k", "/ca", https, false, true, "https", {"/k", "/ca"}},
  };
  for (const Row& r : rows) {
    const TlsPolicy p = ChooseTlsPolicy(r.pin, r.ca, r.url);
    const std::string row =
        std::string(r.pin ? r.pin : "-") + " " + (r.ca ? r.ca : "-") + " " + r.url;
    EXPECT_EQ(p.refuse, r.refuse) << row;
    EXPECT_EQ(p.verify, r.verify) << row;
    EXPECT_EQ(p.pin, r.pin ? r.pin : "") << row;
    EXPECT_EQ(p.ca_file, r.ca ? r.ca : "") << row;
    EXPECT_EQ(p.protocols, r.protocols) << row;
    EXPECT_EQ(p.files, r.files) << row;
  }
}

TEST(LinkLocalUrl, BracketedHostInFe80Slash10) {
  struct Row { const char* url; bool link_local; };
  const Row rows[] = {
      {"http://[fe80::1%25l1]:80/version.info", true},
      {"https://[fe80::1]:443/support/getuseraddressbyurl", true},
      {"http://[FE80::1%25eth0]:80", true},   {"http://[Fe9a::2]?q", true},
      {"https://[febf::1]#f", true},          {"http://u:p@[fe80::1%25l1]:80/", true},
      {"http://[fec0::1]:80/", false},        {"http://[fe7f::1]:80/", false},
      {"http://[fe8::1]:80/", false},         {"http://[2001:db8::5]:443/", false},
      {"http://[fe80]:80/", false},           {"http://fe80::1:80/", false},
      {"http://127.0.0.1:80/linuxsetup/[fe80::1]", false},
      {"http://[fe80::1]@127.0.0.1/", false}, {"[fe80::1]:80", false},
      {"http://", false},                     {"", false},
  };
  for (const Row& r : rows) EXPECT_EQ(LinkLocalUrl(r.url), r.link_local) << r.url;
}

}  // namespace
