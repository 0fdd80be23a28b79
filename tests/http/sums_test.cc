// The digest list rules, and reading the list and a file to digest.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include <gtest/gtest.h>

#include "http/sums.h"
#include "test_util.h"

namespace {

using namespace std::string_literals;

TEST(FindListedDigest, ListsOneDigestPerNameOrNone) {
  std::string upper = kAbc;
  for (char& c : upper) c = static_cast<char>(toupper(c));
  // The list, the digest listed for a.run ("" when the list is unusable).
  const struct { std::string list, want; } rows[] = {
      {kAbc + "  a.run\n", kAbc},
      {kEmpty + "  b.run\n" + kAbc + " *a.run", kAbc},
      {kAbc + "  dir/sub/a.run\n", kAbc},    {kAbc + "  ./a.run\r\n\n  \n", kAbc},
      {upper + "  a.run\n", kAbc},           {kAbc + "  a.run\n" + kAbc + "  d/a.run\n", kAbc},
      {"\\" + kAbc + "  a.run\n", kAbc},
      {"", ""},                              {"\n\n", ""},
      {kAbc + "  b.run\n", ""},              {kAbc + "  xa.run\n", ""},
      {kAbc + "  a.run/\n", ""},             {kAbc + "  a.run.part\n", ""},
      {kAbc + "  a.run\n" + kEmpty + "  d/a.run\n", ""},
      {kAbc + "  a.run\n"s + '\0', ""},
  };
  // Each makes a list unusable, however right its other lines.
  const std::string malformed[] = {
      kAbc.substr(1) + "  b.run",  kAbc + "0  b.run",       "g" + kAbc.substr(1) + "  b.run",
      kAbc + " b.run",             kAbc + "\tb.run",        kAbc + " +b.run",
      kAbc + "  ",                 " " + kAbc + "  b.run",  "# made by hand",
      "SHA256 (b.run) = " + kAbc,  "\\" + kAbc + "  b\\",  "\\" + kAbc + "  b\\t",
  };
  for (const auto& m : malformed) {
    Sha256Digest d{};
    EXPECT_FALSE(FindListedDigest(kAbc + "  a.run\n" + m + "\n", "a.run", &d)) << m;
  }
  for (const auto& r : rows) {
    Sha256Digest d{};
    const bool found = FindListedDigest(r.list, "a.run", &d);
    EXPECT_EQ(found ? HexOf(d) : "", r.want) << r.list;
  }
  // Names sha256sum escapes, found through the same escapes.
  const struct { std::string line, name; } escaped[] = {
      {"\\" + kAbc + "  a\\\\b", "a\\b"}, {"\\" + kAbc + " *d\\n/a\\nb\\r", "a\nb\r"},
      {kAbc + "  a\\\\b", "a\\\\b"},
  };
  for (const auto& e : escaped) {
    Sha256Digest d{};
    EXPECT_TRUE(FindListedDigest(e.line + "\n", e.name, &d) && HexOf(d) == kAbc) << e.line;
  }
}

TEST(ReadSumsFile, TakesOnlyARegularFileWithinTheLimit) {
  char dir[] = "/tmp/sums-test-XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  const std::string d = dir, list = d + "/SUMS", big = d + "/big", fifo = d + "/fifo";
  ASSERT_EQ(system(("printf 'x  a.run\\n' >" + list + " && ln -s SUMS " + d + "/link && "
                    "truncate -s " + std::to_string(kSumsLimit) + " " + big + " && "
                    "truncate -s +1 " + d + "/over && cat " + big + " >>" + d + "/over")
                       .c_str()), 0);
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  const struct { std::string path; bool ok; size_t size; } rows[] = {
      {list, true, 9}, {d + "/link", true, 9}, {big, true, kSumsLimit}, {d + "/over", false, 0},
      {d, false, 0},   {fifo, false, 0},       {d + "/absent", false, 0},
  };
  for (const auto& r : rows) {
    std::string text = "kept";
    EXPECT_EQ(ReadSumsFile(r.path, &text), r.ok) << r.path;
    EXPECT_EQ(text.size(), r.ok ? r.size : 4) << r.path;
  }
  ASSERT_EQ(system(("rm -r " + d).c_str()), 0);
}

}  // namespace
