// Address text rules, the package URL split and its read-back, and the -t text, as tables.
// No row here makes GetServerIp probe interfaces: link-local text is fed to the pure steps only.
#include <string>

#include <gtest/gtest.h>

#include "address/address.h"
#include "address/url.h"
#include "cli/curl_tool.h"

namespace {

TEST(FormatIpAddr, SchemeByPortTextAndScopedLinkLocal) {
  struct Row { std::string port; const char* scheme; };
  const Row rows[] = {
      {"443", "https"},    {"0443", "https"},   {"6443", "https"},
      {"65443", "https"},  {"443443", "https"}, {"-443", "https"},
      {"8443", "http"},    {"66443", "http"},   {"655443", "http"},
      {"a443", "http"},    {"44", "http"},      {"", "http"},
      {"65535", "http"},   {"4430", "http"},
      // Bytes compare unsigned: 0xe9 sorts after "6", so this is not https.
      {"\xe9" "443", "http"},
  };
  for (const Row& r : rows)
    EXPECT_EQ(FormatIpAddr("127.0.0.1:" + r.port),
              std::string(r.scheme) + "://127.0.0.1:" + r.port) << "port " << r.port;
  struct Scoped { const char* address; const char* want; };
  const Scoped scoped[] = {
      {"127.0.0.1", "http://127.0.0.1"}, {"fe80:%eth0:1", "http://[fe80:%25eth0]:1"},
      {"fe80::1%eth0:443", "https://[fe80::1%25eth0]:443"},
      {"fe80::1%eth0:8443", "http://[fe80::1%25eth0]:8443"},
      // No interface found: no zone at all. "[fe80::1%25]" would be read by
      // libcurl as the zone "25", a plain number it takes as interface index 25.
      {"fe80::1%:443", "https://[fe80::1]:443"}, {"fe80::1:443", "https://fe80::1:443"},
      // Interface names may hold "." and other bytes libcurl keeps as given.
      {"fe80::1%eth0.100:80", "http://[fe80::1%25eth0.100]:80"},
      {"fe80::1%br-mgmt:443", "https://[fe80::1%25br-mgmt]:443"},
      {"fe80::1%mgmt_0.1.2:80", "http://[fe80::1%25mgmt_0.1.2]:80"},
      {"fe80::1%25a[~\\\xe9:80", "http://[fe80::1%2525a[~\\\xe9]:80"},
      {"fe80::1%eth7-1234567890:80", "http://[fe80::1%25eth7-1234567890]:80"},
      // Not link-local (capitals) or holding a ".": left as written.
      {"FE80::1%eth0:443", "https://FE80::1%eth0:443"},
      {"fe80::1.2%eth0:443", "https://fe80::1.2%eth0:443"},
      // A "%" after the port's colon is part of the port text, not a zone.
      {"fe80::1:80%eth0", "http://fe80::1:80%eth0"},
  };
  for (const Scoped& r : scoped) EXPECT_EQ(FormatIpAddr(r.address), r.want) << r.address;
  // Zones libcurl would read as another interface, a number, or not at all.
  for (const char* zone : {"c1]#", "c1]", "a@b", "a?b", "a#b", "a/b", "a b", "a\x01",
                           "a\x7f", "7", "+7", "-0", "0123456789", "eth7-12345678901"})
    EXPECT_EQ(FormatIpAddr("fe80::1%" + std::string(zone) + ":80"), "http://[fe80::1]:80")
        << zone;
}

TEST(AddressForms, GetServerIpThenFormatIpAddr) {
  struct Row { const char* given; const char* authority; const char* url; };
  const Row rows[] = {
      {"127.0.1.10:8443", "127.0.1.10:8443", "http://127.0.1.10:8443"},
      {"srv.lan:443", "srv.lan:443", "https://srv.lan:443"}, {"", "", "http://"},
      {"localhost", "localhost", "http://localhost"}, {"fe80", "fe80", "http://fe80"},
      // A dotless name with a port is no IPv6 literal: no brackets.
      {"localhost:8080", "localhost:8080", "http://localhost:8080"}, {":", ":", "http://:"},
      {"2001:db8::5:443", "[2001:db8::5]:443", "https://[2001:db8::5]:443"},
      {"2001:db8::1", "[2001:db8:]:1", "http://[2001:db8:]:1"},
      {"::ffff:127.0.0.1:80", "::ffff:127.0.0.1:80", "http://::ffff:127.0.0.1:80"},
      {"FE80::1:80", "[FE80::1]:80", "http://[FE80::1]:80"},
      // A "." wins over the link-local prefix: never scoped or probed.
      {"fe80::1.2:443", "fe80::1.2:443", "https://fe80::1.2:443"},
      {"2001:db8::5:", "[2001:db8::5]:", "http://[2001:db8::5]:"},
      {"[2001:db8::5]:443", "[[2001:db8::5]]:443", "https://[[2001:db8::5]]:443"},
  };
  for (const Row& r : rows) {
    const std::string authority = GetServerIp(r.given);
    EXPECT_EQ(authority, r.authority) << "given " << r.given;
    EXPECT_EQ(FormatIpAddr(authority), r.url) << "given " << r.given;
  }
  // The link-local step that GetServerIp feeds the probed interface into.
  struct Scope { const char* address; const char* name; const char* want; };
  const Scope scopes[] = {
      {"fe80::1:443", "eth0", "fe80::1%eth0:443"}, {"fe80::1:443", "", "fe80::1%:443"},
      {"fe80::1", "eth0", "fe80:%eth0:1"}, {"fe80:", "eth0", "fe80%eth0:"},
  };
  for (const Scope& r : scopes)
    EXPECT_EQ(Insert_Ipv6_Interface(r.address, r.name), r.want) << r.address << " " << r.name;
}

TEST(PackageUrl, SplitRebuildAndFileName) {
  // No server: the split refuses. No rebuilt URL: it is the URL as given.
  struct Row { const char *url, *server = nullptr, *rebuilt = nullptr, *file = nullptr; };
  const Row rows[] = {
      {"http://127.0.10.5:8080/linuxsetup/c.tar.gz", "127.0.10.5:8080", nullptr, "c.tar.gz"},
      {"https://127.1.1.1/linuxsetup/s", "127.1.1.1", "http://127.1.1.1/linuxsetup/s", "s"},
      {"http://h:443/linuxsetup/s", "h:443", "https://h:443/linuxsetup/s", "s"},
      {"http://::8:443/linuxsetup/p", "::8:443", "https://[::8]:443/linuxsetup/p", "p"},
      {"http://127.0.0.1/files/linuxsetup/a", "files", "http://files/linuxsetup/a", "a"},
      {"http://127.0.0.1/linuxsetup/pkg.run?v=2", "127.0.0.1", nullptr, "pkg.run?v=2"},
      {"http://127.0.0.1/linuxsetup/", "127.0.0.1", nullptr, ""},
      {"http://127.0.0.1/linuxsetup", "127.0.0.1", nullptr, "linuxsetup"},
      {"http://127.0.0.1/linuxsetup2/pkg", "127.0.0.1", nullptr, "pkg"},
      {"http://h1/linuxsetup/a/linuxsetup/b", "h1", nullptr, "b"},
      {"//linuxsetup/a", "", "http:///linuxsetup/a", "a"}, {""}, {"/linuxsetup/a.run"},
      {"127.0.0.1/linuxsetup/a.run"}, {"http://127.0.0.1/setup/a.run"},
  };
  for (const Row& r : rows) {
    PackageUrl parts;
    ASSERT_EQ(SplitPackageUrl(r.url, &parts), r.server != nullptr) << r.url;
    if (!r.server) continue;
    const std::string rebuilt = FormatIpAddr(GetServerIp(parts.server)) + parts.path;
    EXPECT_EQ(parts.server, r.server) << r.url;
    EXPECT_EQ(rebuilt, r.rebuilt ? r.rebuilt : r.url) << r.url;
    EXPECT_EQ(PackageFileName(rebuilt), r.file) << r.url;
  }
}

TEST(UrlNamesServer, RebuiltUrlNamesTheServerPart) {
  // The server part as the URL held it, pasted after the scheme.
  const struct { const char* server; const char* path; bool want; } rows[] = {
      {"127.0.0.1:8080", "/linuxsetup/a.run", true}, {"127.0.0.1", "/linuxsetup/a", true},
      {"LocalHost:8080", "/linuxsetup/a.run?v=2#x", true},
      {"[2001:DB8::0:1]:80", "/linuxsetup/a", true}, {"[::1]", "/linuxsetup/a", true},
      {"[fe80::1%25eth0]:80", "/linuxsetup/a", true}, {"[fe80::1]:80", "/linuxsetup/a", true},
      {"127.0.0.1:8080#@127.0.0.2:1", "/linuxsetup/a.run", false},
      {"127.0.0.1:8080?@127.0.0.2:1", "/linuxsetup/a.run", false},
      {"127.0.0.1:8080/x@127.0.0.2:1", "/linuxsetup/a.run", false},
      {"x@127.0.0.1:8080", "/linuxsetup/a.run", false},
      {"x:y@127.0.0.1:8080", "/linuxsetup/a.run", false},
      {"127.0.0.1:8080\\@127.0.0.2", "/linuxsetup/a", false},
      {"[fe80::1%25eth0]:80", "/linuxsetup/../etc/a", false},
      {"127.0.0.1:8080", "/linuxsetup/../etc/a", false},
      {"127.0.0.1:80:81", "/linuxsetup/a", false},
      {"[fe80::1%25eth0]:80#@[fe80::2%25eth0]:80", "/linuxsetup/a", false},
  };
  for (const auto& r : rows) {
    const std::string base = std::string("http://") + r.server;
    EXPECT_EQ(UrlNamesServer(base + r.path, base), r.want) << r.server << r.path;
  }
  EXPECT_FALSE(UrlNamesServer("http://127.0.0.1/linuxsetup/a", "127.0.0.1"));
}

TEST(ParseTimeout, AtoiNumbersClampedTextKept) {
  // Kept: the time-out before the option stays. Else the value atoi gives,
  // but clamped where atoi's would wrap.
  struct Row { const char* text; bool read; int32_t seconds; };
  const Row rows[] = {
      {"15", true, 15},   {"15s", true, 15},     {" \t\n+7", true, 7},  {"0", true, 0},
      {"-3", true, -3},   {"-0", true, 0},       {"0x10", true, 0},      {"007", true, 7},
      {"2147483647", true, INT32_MAX},           {"2147483648", true, INT32_MAX},
      {"-2147483648", true, INT32_MIN},          {"-2147483649", true, INT32_MIN},
      {"99999999999999999999999", true, INT32_MAX},
      {"abc", false, 0},  {"imeout", false, 0},  {"", false, 0},         {" ", false, 0},
      {"-", false, 0},    {"+-5", false, 0},     {"- 5", false, 0},      {"s15", false, 0},
  };
  for (const Row& r : rows) {
    int32_t seconds = 42;
    EXPECT_EQ(ParseTimeout(r.text, &seconds), r.read) << r.text;
    EXPECT_EQ(seconds, r.read ? r.seconds : 42) << r.text;
  }
}

}  // namespace
