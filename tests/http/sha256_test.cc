// The streaming digest against known vectors, and the digest of a file.
#include <sys/stat.h>

#include <algorithm>
#include <cstdlib>
#include <string>

#include <gtest/gtest.h>

#include "http/sha256.h"
#include "test_util.h"

namespace {

// Of 3 MiB + 5 bytes of 'x': more than one of Sha256OfFile's reads.
const char kBig[] = "a76c39813c8098f2675f62c44590c7b65cda2c909c4b43377c5eea796a9b8414";

TEST(Sha256, StreamedPiecesGiveTheOneShotDigest) {
  Sha256 sha;
  Sha256Digest d{};
  ASSERT_TRUE(sha.ok());
  ASSERT_TRUE(sha.Final(&d));
  EXPECT_EQ(HexOf(d), kEmpty);
  sha.Update("ab", 2);
  sha.Update("", 0);
  sha.Update("c", 1);
  ASSERT_TRUE(sha.Final(&d));
  EXPECT_EQ(HexOf(d), kAbc);
  // Final starts afresh, and Reset forgets what was fed.
  sha.Update("stale", 5);
  sha.Reset();
  const std::string big((3 << 20) + 5, 'x');
  for (size_t at = 0; at < big.size(); at += 16384)
    sha.Update(&big[at], std::min<size_t>(16384, big.size() - at));
  ASSERT_TRUE(sha.Final(&d));
  EXPECT_EQ(HexOf(d), kBig);
  // Pieces that end just before, at and just after the hashing thread's
  // 256 KiB blocks; and a Reset while whole blocks wait to be hashed.
  sha.Update(big.data(), 400000);
  sha.Reset();
  sha.Update("abc", 3);
  ASSERT_TRUE(sha.Final(&d));
  EXPECT_EQ(HexOf(d), kAbc);
  size_t at = 0;
  for (size_t piece : {size_t{1}, size_t{262142}, size_t{1}, size_t{262144}, size_t{262145},
                       size_t{7}, big.size()}) {
    piece = std::min(piece, big.size() - at);
    sha.Update(&big[at], piece);
    at += piece;
  }
  ASSERT_TRUE(sha.Final(&d));
  EXPECT_EQ(HexOf(d), kBig);
}

TEST(Sha256OfFile, DigestsARegularFileNotThroughASymlink) {
  char dir[] = "/tmp/sha256-test-XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  const std::string d = dir;
  ASSERT_EQ(system(("cd " + d + " && printf abc >abc && : >empty && ln -s abc link && "
                    "head -c 3145733 /dev/zero | tr '\\0' x >big && mkfifo fifo").c_str()), 0);
  const struct { const char* name; std::string want; } rows[] = {
      {"abc", kAbc}, {"empty", kEmpty}, {"big", kBig}, {"link", ""}, {"fifo", ""}, {".", ""},
      {"absent", ""},
  };
  for (const auto& r : rows) {
    Sha256Digest digest{};
    EXPECT_EQ(Sha256OfFile(d + "/" + r.name, &digest) ? HexOf(digest) : "", r.want) << r.name;
  }
  ASSERT_EQ(system(("rm -r " + d).c_str()), 0);
}

}  // namespace
