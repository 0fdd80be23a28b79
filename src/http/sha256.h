// SHA-256 through OpenSSL's libcrypto, which picks the CPU's SHA
// instructions where it has them.
#ifndef MGMTFETCH_HTTP_SHA256_H_
#define MGMTFETCH_HTTP_SHA256_H_

#include <openssl/evp.h>

#include <array>
#include <cstddef>
#include <memory>
#include <string>

using Sha256Digest = std::array<unsigned char, 32>;

// A digest fed piece by piece, as a body arrives, on the caller's thread: at
// the rates a link reaches, hashing in line costs the download nothing that
// a thread of its own would win back.
class Sha256 {
 public:
  Sha256();

  // False when libcrypto could not set the digest up; Final then fails.
  bool ok() const { return ok_; }
  // Never throws: it is called from inside libcurl's write callback. A
  // failure shows in Final.
  void Update(const void* data, size_t n);
  // Starts again from no bytes at all.
  void Reset();
  // The digest of everything fed since the last Reset; then starts again.
  // False when any step failed.
  bool Final(Sha256Digest* digest);

 private:
  struct ContextFree {
    void operator()(EVP_MD_CTX* context) const { EVP_MD_CTX_free(context); }
  };

  std::unique_ptr<EVP_MD_CTX, ContextFree> context_;
  bool ok_ = false;
};

// The digest of the regular file at `path`, read once from start to end.
// False for anything else (missing, a directory, a FIFO, a symlink, which is
// not followed) and on a read error.
bool Sha256OfFile(const std::string& path, Sha256Digest* digest);

#endif  // MGMTFETCH_HTTP_SHA256_H_
