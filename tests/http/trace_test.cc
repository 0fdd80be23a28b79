// The trace's pure formatting: what a URL hides, and the shape of a line in
// either format.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "http/trace_format.h"

namespace {

TEST(Trace, UserInformationHidden) {
  // Any text (an error may quote a URL), then an address as -a or -d take it.
  const struct { const char* in; const char* any; const char* address; } rows[] = {
      {"http://u:p@h:80/linuxsetup/a", "http://***@h:80/linuxsetup/a",
       "http://***@h:80/linuxsetup/a"},
      {"https://u@h/x", "https://***@h/x", "https://***@h/x"},
      {"http://a@b@h", "http://***@h", "http://***@h"},
      {"http://h/a@b", "http://h/a@b", "http://h/a@b"}, {"h?q=a@b", "h?q=a@b", "h?q=a@b"},
      {"http://h#a@b", "http://h#a@b", "http://h#a@b"}, {"h/a@b", "h/a@b", "h/a@b"},
      {"http://[fe80::1%25l1]:80/x", "http://[fe80::1%25l1]:80/x", "http://[fe80::1%25l1]:80/x"},
      {"http://", "http://", "http://"}, {"http://@h", "http://***@h", "http://***@h"},
      {"-d", "-d", "-d"}, {"", "", ""}, {"/x@y", "/x@y", "/x@y"},
      {"error at http://u:p@h/x", "error at http://***@h/x", "error at http://***@h/x"},
      // Without a scheme the text starts with its authority.
      {"u:p@h", "u:p@h", "***@h"}, {"u%3Ap@h:80", "u%3Ap@h:80", "***@h:80"},
      {"u:p@h:80/linuxsetup/a@b", "u:p@h:80/linuxsetup/a@b", "***@h:80/linuxsetup/a@b"},
      {"h/x://u@y", "h/x://***@y", "h/x://u@y"},
      // The segment a download takes its server from.
      {"/u:p@h:80/linuxsetup/a", "/u:p@h:80/linuxsetup/a", "/***@h:80/linuxsetup/a"},
      {"http:/u:p@h/linuxsetup/a", "http:/u:p@h/linuxsetup/a", "http:/***@h/linuxsetup/a"},
      {"http://h/u@g/linuxsetup/a", "http://h/u@g/linuxsetup/a", "http://h/***@g/linuxsetup/a"},
      {"/linuxsetup/a@b", "/linuxsetup/a@b", "/linuxsetup/a@b"},
  };
  for (const auto& r : rows) {
    EXPECT_EQ(trace::HideUserInfo(r.in), r.any) << r.in;
    EXPECT_EQ(trace::HideAddressUserInfo(r.in), r.address) << r.in;
  }
}

TEST(Trace, JsonStringsAndLines) {
  const struct { std::string in; const char* out; } strings[] = {
      {"plain", "\"plain\""}, {"q\"b\\", "\"q\\\"b\\\\\""}, {"a\r\nb\t", "\"a\\r\\nb\\t\""},
      {std::string("\x01\x1f\x7f", 3), "\"\\u0001\\u001f\\u007f\""}, {std::string(1, '\0'), "\"\\u0000\""},
      {"caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80", "\"caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80\""},
      // Not UTF-8: a lone continuation, a cut sequence, an overlong form, a surrogate.
      {"\x80", "\"\\u0080\""}, {"\xc3", "\"\\u00c3\""}, {"\xc0\xaf", "\"\\u00c0\\u00af\""},
      {"\xed\xa0\x80", "\"\\u00ed\\u00a0\\u0080\""}, {"\xe2\x82", "\"\\u00e2\\u0082\""},
      // Bytes that never lead a sequence, and one past U+10FFFF.
      {"\xf5\x80\x80", "\"\\u00f5\\u0080\\u0080\""}, {"\xff\xbf", "\"\\u00ff\\u00bf\""},
      {"\xf4\x90\x80\x80", "\"\\u00f4\\u0090\\u0080\\u0080\""},
      {"\xf4\x8f\xbf\xbf", "\"\xf4\x8f\xbf\xbf\""},
  };
  for (const auto& r : strings) EXPECT_EQ(trace::JsonString(r.in), r.out) << r.in;

  const std::vector<trace::Field> fields = {
      {"job", "-d"}, {"number", 3}, {"rate", 1.5}, {"args", std::vector<std::string>{"-w", "a b"}},
      {"error", "Failed to connect"}, {"empty", ""}};
  EXPECT_EQ(trace::FormatJson(0.0125, 42, "attempt", fields),
            "{\"time\":0.013,\"pid\":42,\"event\":\"attempt\",\"job\":\"-d\",\"number\":3,"
            "\"rate\":1.500,\"args\":[\"-w\",\"a b\"],\"error\":\"Failed to connect\","
            "\"empty\":\"\"}\n");
  EXPECT_EQ(trace::FormatText(1.5, 42, "attempt", fields),
            "1.500 [42] attempt job=-d number=3 rate=1.500 args=\"-w \\\"a b\\\"\" "
            "error=\"Failed to connect\" empty=\"\"\n");
  // A value that holds the separators or a line break cannot split the line.
  EXPECT_EQ(trace::FormatText(0, 1, "skip", {{"reason", "x=y\nend"}}),
            "0.000 [1] skip reason=\"x=y\\nend\"\n");
}

TEST(Trace, ProgressLineFitsTheWidth) {
  const int64_t k = 1024;
  // Fields go from the right until the rest fits; the full line is 48 columns.
  const struct { int64_t bytes, total; double rate; size_t width; const char* line; } rows[] = {
      {512 * k, 2048 * k, 256 * k, 48, " 25% 512.0 KiB of 2.0 MiB, 256.0 KiB/s, 6 s left"},
      {512 * k, 2048 * k, 256 * k, 47, " 25% 512.0 KiB of 2.0 MiB, 256.0 KiB/s"},
      {512 * k, 2048 * k, 256 * k, 29, " 25% 512.0 KiB of 2.0 MiB"},
      {512 * k, 2048 * k, 256 * k, 24, " 25%"},
      {512 * k, 2048 * k, 256 * k, 3, ""},
      {512 * k, 2048 * k, 0, 79, " 25% 512.0 KiB of 2.0 MiB, 0 B/s"},
      {1000, -1, 500, 79, "1000 B, 500 B/s"},
      {1000, -1, 500, 14, "1000 B"},
  };
  for (const auto& r : rows)
    EXPECT_EQ(trace::ProgressLine(r.bytes, r.total, r.rate, r.width), r.line) << r.width;
}

}  // namespace
