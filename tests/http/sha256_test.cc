// The streaming digest against known vectors, and the digest of a file.
#include <algorithm>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "http/sha256.h"
#include "test_util.h"

namespace {

// Of 3 MiB + 5 bytes of 'x': more than one of Sha256OfFile's reads.
const char kBig[] = "a76c39813c8098f2675f62c44590c7b65cda2c909c4b43377c5eea796a9b8414";

TEST(Sha256, StreamedPiecesGiveTheOneShotDigest) {
  const std::string big((3 << 20) + 5, 'x');
  // All rows on one object, so each Final must start afresh. `stale` is fed
  // and Reset away first; `text` goes in pieces of the lengths given, over
  // and over, the last cut to what is left.
  struct Row { std::string stale, text; std::vector<size_t> pieces; std::string want; };
  const Row rows[] = {
      {"", "", {}, kEmpty}, {"", "abc", {2, 0, 1}, kAbc}, {"stale", big, {16384}, kBig},
      // A Reset while whole 256 KiB blocks wait for the hashing thread; then
      // pieces that end just before, at and just after those blocks.
      {big.substr(0, 400000), "abc", {3}, kAbc},
      {"", big, {1, 262142, 1, 262144, 262145, 7, big.size()}, kBig},
  };
  Sha256 sha;
  ASSERT_TRUE(sha.ok());
  for (const Row& r : rows) {
    if (!r.stale.empty()) {
      sha.Update(r.stale.data(), r.stale.size());
      sha.Reset();
    }
    for (size_t at = 0, i = 0; at < r.text.size(); ++i) {
      const size_t piece = std::min(r.pieces[i % r.pieces.size()], r.text.size() - at);
      sha.Update(&r.text[at], piece);
      at += piece;
    }
    Sha256Digest d{};
    ASSERT_TRUE(sha.Final(&d));
    EXPECT_EQ(HexOf(d), r.want) << "row " << &r - rows;
  }
}

TEST(Sha256OfFile, DigestsARegularFileNotThroughASymlink) {
  const ScratchDir d;
  ASSERT_EQ(d.Sh("printf abc >abc && : >empty && ln -s abc link && "
                 "head -c 3145733 /dev/zero | tr '\\0' x >big && mkfifo fifo && echo ok"), "ok\n");
  const struct { const char* name; std::string want; } rows[] = {
      {"abc", kAbc}, {"empty", kEmpty}, {"big", kBig}, {"link", ""}, {"fifo", ""}, {".", ""},
      {"absent", ""},
  };
  for (const auto& r : rows) {
    Sha256Digest digest{};
    EXPECT_EQ(Sha256OfFile(d / r.name, &digest) ? HexOf(digest) : "", r.want) << r.name;
  }
}

}  // namespace
