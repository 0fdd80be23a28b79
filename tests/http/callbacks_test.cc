// The libcurl callbacks of the text transfers, called the way libcurl calls
// them: odd element sizes, empty chunks, NUL bytes, small read buffers; and
// the error text a transfer leaves for the trace.
#include <cstdint>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "http/easy.h"
#include "http/http.h"

namespace {

using namespace std::string_literals;
constexpr size_t kRefused = static_cast<size_t>(-1), kL = kTextAnswerLimit;

TEST(WriteCallbacks, AppendWholeChunksUpToTheLimit) {
  // `after`: the size the target is left with; refused for its size, it is
  // emptied and gives its memory back at once.
  struct Row {
    size_t held, size, count, want, after;
    bool null_chunk = false, null_target = false;
  };
  const Row rows[] = {
      {3, 1, 3, 3, 6},        {3, 3, 1, 3, 6},          {3, 2, 2, 4, 7},
      {3, 0, 7, 0, 3},        {3, 7, 0, 0, 3},          {3, 0, 0, 0, 3, true},
      {3, 1, 0, 0, 0, false, true},  // zero bytes are taken before the null test
      {3, 1, 3, kRefused, 3, true},  {3, 1, 3, kRefused, 0, false, true},
      {0, kL, 1, kL, kL},     {kL - 4, 2, 2, 4, kL},    {kL, 1, 1, kRefused, 0},
      {kL - 3, 2, 2, kRefused, 0},  {5, 1, kL, kRefused, 0},  {kL + 5, 1, 1, kRefused, 0},
      // A product that wraps around to a small number is refused too.
      {5, SIZE_MAX / 2 + 1, 2, kRefused, 0},
  };
  std::string chunk = "a\0b\0\0\0\0"s;
  chunk.resize(kL + 2, 'c');
  for (const Row& r : rows) {
    std::string target(r.held, 'h');
    const std::string want = (target + chunk).substr(0, r.after);
    EXPECT_EQ(postit2::WriteStringCallback(r.null_chunk ? nullptr : &chunk[0], r.size, r.count,
                                           r.null_target ? nullptr : &target), r.want)
        << r.held << " held, " << r.size << " x " << r.count;
    if (r.null_target) continue;
    EXPECT_EQ(target, want) << r.held << " held, " << r.size << " x " << r.count;
    EXPECT_TRUE(r.after != 0 || target.capacity() < 64u) << target.capacity();
  }
}

TEST(ReadPostDataCallback, HandsBodyOverInPiecesThatFit) {
  struct Read { size_t size, count, want; };
  struct Row { std::string body; std::vector<Read> reads; };
  const Row rows[] = {
      {"ab\0cd\0efgh"s, {{1, 3, 3}, {3, 1, 3}, {0, 5, 0}, {5, 0, 0}, {4, 4, 4}, {1, 3, 0}}},
      {"", {{1, 16, 0}}},
  };
  for (const Row& r : rows) {
    PostDataCursor cursor{reinterpret_cast<const unsigned char*>(r.body.data()), 0,
                          static_cast<int64_t>(r.body.size())};
    std::string sent;
    for (const Read& read : r.reads) {
      // Bytes past what was handed over must stay untouched.
      std::string buffer(read.size * read.count + 4, '#');
      const size_t k = postit2::ReadPostDataCallback(&buffer[0], read.size, read.count, &cursor);
      ASSERT_EQ(k, read.want) << "after " << sent.size() << " bytes";
      EXPECT_EQ(buffer.substr(k), std::string(buffer.size() - k, '#'));
      sent += buffer.substr(0, k);
      EXPECT_EQ(cursor.offset, sent.size());
    }
    EXPECT_EQ(sent, r.body);
  }
}

TEST(ErrorBuffer, NothingOnSuccessElseLibcurlsWord) {
  // A trace of a complete attempt must not carry an error ("No error").
  const EasyHandle handle(curl_easy_init());
  ASSERT_TRUE(handle);
  const ErrorBuffer error(handle.get());
  EXPECT_EQ(error.Explain(CURLE_OK), "");
  EXPECT_EQ(error.Explain(CURLE_COULDNT_CONNECT), curl_easy_strerror(CURLE_COULDNT_CONNECT));
}

TEST(Min, SmallerOfTwoUnsigned64) {
  const uint64_t rows[][3] = {{1, 2, 1}, {2, 1, 1}, {1ull << 32, 7, 7}, {7, 1ull << 32, 7}};
  for (const auto& r : rows) EXPECT_EQ(min(r[0], r[1]), r[2]) << r[0] << " " << r[1];
}

}  // namespace
