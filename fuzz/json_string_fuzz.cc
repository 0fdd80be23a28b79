// The trace's JSON string writer on arbitrary bytes: whatever a URL or file
// name holds, the literal is valid UTF-8, so every line of the trace decodes.
// With JSON_STRING_ECHO naming a file, each literal is also appended to it as
// a line, for the fuzz stage to hand to Python's JSON parser.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "fuzz_check.h"
#include "http/trace_format.h"

namespace {

// Decodes each code point: no overlong form, surrogate or value past U+10FFFF.
bool ValidUtf8(const std::string& s) {
  static const uint32_t kLeast[] = {0, 0, 0x80, 0x800, 0x10000};
  for (size_t i = 0; i < s.size();) {
    const unsigned char c = s[i];
    const size_t n = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
    if (n == 0 || i + n > s.size()) return false;
    uint32_t point = n == 1 ? c : c & (0x7f >> n);
    for (size_t k = 1; k < n; ++k) {
      const unsigned char d = s[i + k];
      if ((d & 0xc0) != 0x80) return false;
      point = point << 6 | (d & 0x3f);
    }
    if (point < kLeast[n] || point > 0x10ffff || (point >= 0xd800 && point <= 0xdfff))
      return false;
    i += n;
  }
  return true;
}

FILE* Echo() {
  static FILE* echo = [] {
    const char* path = std::getenv("JSON_STRING_ECHO");
    return path == nullptr ? nullptr : std::fopen(path, "a");
  }();
  return echo;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  const std::string literal = trace::JsonString(text);
  FUZZ_CHECK(ValidUtf8(literal));
  FUZZ_CHECK(literal.size() >= 2 && literal.front() == '"' && literal.back() == '"');
  if (FILE* echo = Echo()) {
    std::fwrite(literal.data(), 1, literal.size(), echo);
    std::fputc('\n', echo);
    std::fflush(echo);
  }
  return 0;
}
