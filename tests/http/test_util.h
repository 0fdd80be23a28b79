// What the file and digest tables share: a scratch directory, how sha256sum
// writes a digest, and the digests of two known inputs.
#ifndef MGMTFETCH_TESTS_HTTP_TEST_UTIL_H_
#define MGMTFETCH_TESTS_HTTP_TEST_UTIL_H_

#include <cstdio>
#include <cstdlib>
#include <filesystem>
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

// A fresh directory under /tmp, removed with all it holds. Without one the
// test binary stops: an empty path would send Sh's commands, and the paths
// built on it, into the home and root directories.
class ScratchDir {
 public:
  ScratchDir() {
    char dir[] = "/tmp/mgmt-test-XXXXXX";
    if (mkdtemp(dir) == nullptr) {
      perror("mkdtemp");
      std::abort();
    }
    path_ = dir;
  }
  ~ScratchDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;

  const std::string& path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

  // What a shell command run in the directory prints on stdout.
  std::string Sh(const std::string& command) const {
    FILE* pipe = popen(("cd " + path_ + " && " + command).c_str(), "r");
    std::string out;
    char buffer[256];
    while (size_t n = pipe ? fread(buffer, 1, sizeof buffer, pipe) : 0) out.append(buffer, n);
    if (pipe) pclose(pipe);
    return out;
  }

 private:
  std::string path_;
};

#endif  // MGMTFETCH_TESTS_HTTP_TEST_UTIL_H_
