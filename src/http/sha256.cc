#include "http/sha256.h"

#include <errno.h>
#include <unistd.h>

#include <new>

#include "http/regular_file.h"

namespace {

// Large reads keep the system calls few; a package is read at the speed the
// digest allows, which is far below what the page cache delivers.
constexpr size_t kReadBytes = 1 << 20;

}  // namespace

Sha256::Sha256() : context_(EVP_MD_CTX_new()) { Reset(); }

void Sha256::Reset() {
  ok_ = context_ && EVP_DigestInit_ex(context_.get(), EVP_sha256(), nullptr) == 1;
}

void Sha256::Update(const void* data, size_t n) {
  if (ok_ && n > 0) ok_ = EVP_DigestUpdate(context_.get(), data, n) == 1;
}

bool Sha256::Final(Sha256Digest* digest) {
  unsigned int length = 0;
  const bool done = ok_ && EVP_DigestFinal_ex(context_.get(), digest->data(), &length) == 1 &&
                    length == digest->size();
  Reset();
  return done;
}

bool Sha256OfFile(const std::string& path, Sha256Digest* digest) {
  const UniqueFd fd(OpenRegularFile(path, false));
  if (fd.get() < 0) return false;
  std::unique_ptr<unsigned char[]> buffer(new (std::nothrow) unsigned char[kReadBytes]);
  Sha256 sha;
  if (!buffer || !sha.ok()) return false;
  for (;;) {
    const ssize_t n = read(fd.get(), buffer.get(), kReadBytes);
    if (n == 0) return sha.Final(digest);
    if (n < 0 && errno != EINTR) return false;
    if (n > 0) sha.Update(buffer.get(), static_cast<size_t>(n));
  }
}
