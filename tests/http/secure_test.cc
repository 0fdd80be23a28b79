// Which URLs name a link-local server (never reached through a proxy).
#include <string>

#include <gtest/gtest.h>

#include "http/secure.h"

namespace {

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
