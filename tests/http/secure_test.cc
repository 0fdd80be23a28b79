// Which settings the two authentication variables give a transfer.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "http/secure.h"

namespace {

TEST(ChooseTlsPolicy, FollowsTheVariablesAndTheScheme) {
  struct Row {
    const char *pin, *ca, *url;
    bool refuse, verify;
    std::string want_pin, want_ca, protocols;
    std::vector<std::string> files;
  };
  const std::string https = "https://127.0.0.1:443/version.info";
  const std::string http = "http://127.0.0.1:8443/version.info";
  const std::string hash = "sha256//a2V5;sha256//b3RoZXI=";
  const Row rows[] = {
      {nullptr, nullptr, http.c_str(), false, false, "", "", "http,https", {}},
      {"", "", https.c_str(), false, false, "", "", "http,https", {}},
      {"", "", http.c_str(), false, false, "", "", "http,https", {}},
      {hash.c_str(), nullptr, https.c_str(), false, false, hash, "", "https", {}},
      {hash.c_str(), "", http.c_str(), true, false, hash, "", "https", {}},
      {"/k.pem", nullptr, https.c_str(), false, false, "/k.pem", "", "https", {"/k.pem"}},
      {"k.der", "", "http://h:443/https://", true, false, "k.der", "", "https", {"k.der"}},
      {"", "/ca.pem", https.c_str(), false, true, "", "/ca.pem", "https", {"/ca.pem"}},
      {nullptr, "/ca.pem", http.c_str(), true, true, "", "/ca.pem", "https", {"/ca.pem"}},
      {nullptr, "/ca.pem", "https:/h:443/", true, true, "", "/ca.pem", "https", {"/ca.pem"}},
      {"/k", "/ca", https.c_str(), false, true, "/k", "/ca", "https", {"/k", "/ca"}},
  };
  for (size_t i = 0; i < sizeof rows / sizeof rows[0]; ++i) {
    const Row& r = rows[i];
    const TlsPolicy p = ChooseTlsPolicy(r.pin, r.ca, r.url);
    EXPECT_EQ(p.refuse, r.refuse) << "row " << i;
    EXPECT_EQ(p.verify, r.verify) << "row " << i;
    EXPECT_EQ(p.pin, r.want_pin) << "row " << i;
    EXPECT_EQ(p.ca_file, r.want_ca) << "row " << i;
    EXPECT_EQ(p.protocols, r.protocols) << "row " << i;
    EXPECT_EQ(p.files, r.files) << "row " << i;
  }
}

}  // namespace
