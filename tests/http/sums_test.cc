// The digest list rules, and reading the list and a file to digest.
#include <iterator>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "http/sums.h"
#include "test_util.h"

namespace {

using namespace std::string_literals;

TEST(FindListedDigest, ListsOneDigestPerNameOrNone) {
  std::string upper = kAbc;
  for (char& c : upper) c = static_cast<char>(toupper(c));
  // The list, the digest listed for the name ("" when the list is unusable).
  struct Row { std::string list, want, name = "a.run"; };
  const Row rows[] = {
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
      // Names sha256sum escapes, found through the same escapes.
      {"\\" + kAbc + "  a\\\\b\n", kAbc, "a\\b"},
      {"\\" + kAbc + " *d\\n/a\\nb\\r\n", kAbc, "a\nb\r"}, {kAbc + "  a\\\\b\n", kAbc, "a\\\\b"},
  };
  // Each makes a list unusable, however right its other lines.
  const std::string malformed[] = {
      kAbc.substr(1) + "  b.run",  kAbc + "0  b.run",       "g" + kAbc.substr(1) + "  b.run",
      kAbc + " b.run",             kAbc + "\tb.run",        kAbc + " +b.run",
      kAbc + "  ",                 " " + kAbc + "  b.run",  "# made by hand",
      "SHA256 (b.run) = " + kAbc,  "\\" + kAbc + "  b\\",  "\\" + kAbc + "  b\\t",
  };
  std::vector<Row> all(std::begin(rows), std::end(rows));
  for (const auto& m : malformed) all.push_back({kAbc + "  a.run\n" + m + "\n", ""});
  for (const Row& r : all) {
    Sha256Digest d{};
    const bool found = FindListedDigest(r.list, r.name, &d);
    EXPECT_EQ(found ? HexOf(d) : "", r.want) << r.list;
  }
}

TEST(ReadSumsFile, TakesOnlyARegularFileWithinTheLimit) {
  const ScratchDir d;
  ASSERT_EQ(d.Sh("printf 'x  a.run\\n' >SUMS && ln -s SUMS link && truncate -s " +
                 std::to_string(kSumsLimit) + " big && truncate -s +1 over && cat big >>over "
                 "&& mkfifo fifo && echo ok"), "ok\n");
  const struct { std::string path; bool ok; size_t size; } rows[] = {
      {d / "SUMS", true, 9}, {d / "link", true, 9}, {d / "big", true, kSumsLimit},
      {d / "over", false, 0}, {d.path(), false, 0}, {d / "fifo", false, 0}, {d / "absent", false, 0},
  };
  for (const auto& r : rows) {
    std::string text = "kept";
    EXPECT_EQ(ReadSumsFile(r.path, &text), r.ok) << r.path;
    EXPECT_EQ(text.size(), r.ok ? r.size : 4) << r.path;
  }
}

}  // namespace
