// What the digest tables share: how sha256sum writes a digest, and the
// digests of two known inputs.
#ifndef MGMTFETCH_TESTS_HTTP_TEST_UTIL_H_
#define MGMTFETCH_TESTS_HTTP_TEST_UTIL_H_

#include <string>

#include "http/sha256.h"

// Lower-case hex.
inline std::string HexOf(const Sha256Digest& d) {
  static const char kDigits[] = "0123456789abcdef";
  std::string hex;
  for (unsigned char c : d) hex += {kDigits[c >> 4], kDigits[c & 15]};
  return hex;
}

// sha256("abc") and sha256("").
inline const std::string kAbc = "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad";
inline const std::string kEmpty = "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855";

#endif  // MGMTFETCH_TESTS_HTTP_TEST_UTIL_H_
