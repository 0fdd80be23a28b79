// The libcurl callbacks of the text transfers, called the way libcurl calls
// them: odd element sizes, empty chunks, NUL bytes, small read buffers.
#include <cstdint>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "http/http.h"

namespace {

using namespace std::string_literals;
constexpr size_t kRefused = static_cast<size_t>(-1);

TEST(WriteCallbacks, AppendWholeChunksAndRefuseNulls) {
  struct Row {
    std::string chunk;
    bool null_chunk, null_target;
    size_t size, count, want;
    std::string body;  // target after the call; it starts as "pre"
    bool guarded_only;  // writeToString makes no null test: not for it
  };
  const Row rows[] = {
      {"a\0b"s, false, false, 1, 3, 3, "prea\0b"s, false},
      {"a\0b"s, false, false, 3, 1, 3, "prea\0b"s, false},
      {"\0\0\0\0"s, false, false, 2, 2, 4, "pre\0\0\0\0"s, false},
      {"xy"s, false, false, 1, 1, 1, "prex", false},
      {"xy"s, false, false, 0, 7, 0, "pre", false},
      {"xy"s, false, false, 7, 0, 0, "pre", false},
      {"", true, false, 0, 0, 0, "pre", false},
      // Zero bytes are taken before the null test.
      {"xy"s, false, true, 1, 0, 0, "", true},
      {"", true, false, 1, 3, kRefused, "pre", true},
      {"abc"s, false, true, 1, 3, kRefused, "", true},
  };
  for (size_t i = 0; i < sizeof rows / sizeof rows[0]; ++i) {
    const Row& r = rows[i];
    void* chunk = r.null_chunk ? nullptr : const_cast<char*>(r.chunk.data());
    std::string guarded = "pre";
    EXPECT_EQ(postit2::WriteStringCallback(chunk, r.size, r.count,
                                           r.null_target ? nullptr : &guarded),
              r.want) << "row " << i;
    if (!r.null_target) {
      EXPECT_EQ(guarded, r.body) << "row " << i;
    }
    if (r.guarded_only) continue;
    std::string plain = "pre";
    EXPECT_EQ(writeToString(chunk, r.size, r.count, &plain), r.want) << "row " << i;
    EXPECT_EQ(plain, r.body) << "row " << i;
  }
}

TEST(WriteCallbacks, KeepAtMostTheLimitAndDropAnAnswerPastIt) {
  constexpr size_t kL = kTextAnswerLimit;
  struct Row { size_t held, size, count, want, after; };
  const Row rows[] = {
      {kL - 1, 1, 1, 1, kL},        {0, kL, 1, kL, kL},
      {0, 1, kL, kL, kL},           {kL - 4, 2, 2, 4, kL},
      {kL, 1, 1, kRefused, 0},      {0, 1, kL + 1, kRefused, 0},
      {kL - 3, 2, 2, kRefused, 0},  {0, 2, kL / 2 + 1, kRefused, 0},
      {5, 1, kL, kRefused, 0},
      // A product that wraps around to a small number is refused too.
      {5, SIZE_MAX / 2 + 1, 2, kRefused, 0},
  };
  const std::vector<char> chunk(kL + 2, 'c');
  for (auto callback : {postit2::WriteStringCallback, writeToString}) {
    for (const Row& r : rows) {
      std::string held(r.held, 'h');
      EXPECT_EQ(callback(const_cast<char*>(chunk.data()), r.size, r.count, &held), r.want)
          << r.held << " held, " << r.size << " x " << r.count;
      EXPECT_EQ(held.size(), r.after) << r.held << " held, " << r.size << " x " << r.count;
      // A dropped answer gives its memory back at once.
      if (r.after == 0) {
        EXPECT_LT(held.capacity(), 64u);
      }
    }
  }
}

TEST(ReadPostDataCallback, HandsBodyOverInPiecesThatFit) {
  struct Read { size_t size, count, want; };
  struct Row { std::string body; std::vector<Read> reads; };
  const std::string ten = "ab\0cd\0efgh"s;
  const Row rows[] = {
      {ten, {{1, 3, 3}, {3, 1, 3}, {0, 5, 0}, {5, 0, 0}, {2, 2, 4}, {1, 3, 0}, {1, 3, 0}}},
      {ten, {{1, 10, 10}, {1, 1, 0}}},
      {ten, {{4, 4, 10}, {4, 4, 0}}},
      {ten, {{1, 1, 1}, {1, 1, 1}, {1, 1, 1}, {7, 1, 7}, {1, 1, 0}}},
      {"", {{1, 16, 0}, {0, 0, 0}}},
  };
  for (size_t i = 0; i < sizeof rows / sizeof rows[0]; ++i) {
    const Row& r = rows[i];
    PostDataCursor cursor{reinterpret_cast<const unsigned char*>(r.body.data()), 0,
                          static_cast<int64_t>(r.body.size())};
    std::string sent;
    for (const Read& read : r.reads) {
      // Bytes past what was handed over must stay untouched.
      std::string buffer(read.size * read.count + 4, '#');
      const size_t k = postit2::ReadPostDataCallback(&buffer[0], read.size,
                                                     read.count, &cursor);
      ASSERT_EQ(k, read.want) << "row " << i << " after " << sent.size() << " bytes";
      EXPECT_EQ(buffer.substr(k), std::string(buffer.size() - k, '#')) << "row " << i;
      sent += buffer.substr(0, k);
      EXPECT_EQ(cursor.offset, sent.size()) << "row " << i;
    }
    EXPECT_EQ(sent, r.body) << "row " << i;
  }
}

TEST(Min, SmallerOfTwoUnsigned64) {
  const uint64_t top = UINT64_MAX;
  const uint64_t rows[][3] = {{1, 2, 1}, {2, 1, 1}, {5, 5, 5}, {0, top, 0},
                              {top, 0, 0}, {top, top - 1, top - 1}, {1ull << 32, 7, 7}};
  for (const auto& r : rows) EXPECT_EQ(min(r[0], r[1]), r[2]) << r[0] << " " << r[1];
}

}  // namespace
