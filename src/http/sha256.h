// SHA-256 through OpenSSL's libcrypto, which picks the CPU's SHA
// instructions where it has them.
#ifndef MGMTFETCH_HTTP_SHA256_H_
#define MGMTFETCH_HTTP_SHA256_H_

#include <openssl/evp.h>

#include <array>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

using Sha256Digest = std::array<unsigned char, 32>;

// A digest fed piece by piece, as a body arrives. The hashing runs on a
// thread of its own, a few blocks behind the feeding, so that a download is
// received, written and hashed at once on two cores instead of in turn;
// where no thread can be had, it hashes on the caller's.
class Sha256 {
 public:
  Sha256();
  ~Sha256();
  Sha256(const Sha256&) = delete;
  Sha256& operator=(const Sha256&) = delete;

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
  using Block = std::vector<unsigned char>;
  void HashBlocks();  // the worker's loop
  void Push();        // hands the block being filled to the worker
  void Wait();        // until the worker has hashed every block handed over

  std::unique_ptr<EVP_MD_CTX, ContextFree> context_;
  bool ok_ = false;
  Block filling_;
  std::mutex mutex_;
  std::condition_variable changed_;
  // Guarded by mutex_.
  std::deque<Block> queued_;
  std::vector<Block> spare_;
  bool hashing_ = false;
  bool failed_ = false;
  bool stop_ = false;
  // Last: it starts once everything it uses exists.
  std::thread worker_;
};

// The digest of the regular file at `path`, read once from start to end.
// False for anything else (missing, a directory, a FIFO, a symlink, which is
// not followed) and on a read error.
bool Sha256OfFile(const std::string& path, Sha256Digest* digest);

#endif  // MGMTFETCH_HTTP_SHA256_H_
