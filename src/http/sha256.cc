#include "http/sha256.h"

#include <errno.h>
#include <unistd.h>

#include <algorithm>
#include <new>

#include "http/regular_file.h"

namespace {

// Large reads keep the system calls few; a package is read at the speed the
// digest allows, which is far below what the page cache delivers.
constexpr size_t kReadBytes = 1 << 20;

}  // namespace

namespace {

// Blocks of what libcurl hands over at most at a time; a few of them in the
// queue keep the worker busy while bounding the memory to about 1.5 MiB.
constexpr size_t kBlockBytes = 256 * 1024;
constexpr size_t kQueuedBlocks = 3;

}  // namespace

Sha256::Sha256() : context_(EVP_MD_CTX_new()) {
  Reset();
  try {
    filling_.reserve(kBlockBytes);
    // Every block there can be: so the worker never allocates.
    spare_.reserve(kQueuedBlocks + 2);
    worker_ = std::thread(&Sha256::HashBlocks, this);
  } catch (...) {
    // No thread or no memory for the blocks: hash on the caller's thread.
  }
}

Sha256::~Sha256() {
  if (!worker_.joinable()) return;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stop_ = true;
  }
  changed_.notify_all();
  worker_.join();
}

void Sha256::HashBlocks() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    changed_.wait(lock, [this] { return stop_ || !queued_.empty(); });
    if (stop_) return;
    Block block = std::move(queued_.front());
    queued_.pop_front();
    hashing_ = true;
    lock.unlock();
    const bool hashed = EVP_DigestUpdate(context_.get(), block.data(), block.size()) == 1;
    lock.lock();
    hashing_ = false;
    failed_ = failed_ || !hashed;
    block.clear();
    spare_.push_back(std::move(block));
    changed_.notify_all();
  }
}

void Sha256::Push() {
  Block next;
  {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [this] { return queued_.size() < kQueuedBlocks; });
    queued_.push_back(std::move(filling_));
    if (!spare_.empty()) {
      next = std::move(spare_.back());
      spare_.pop_back();
    }
  }
  changed_.notify_all();
  filling_ = std::move(next);
  filling_.clear();
  filling_.reserve(kBlockBytes);
}

void Sha256::Wait() {
  std::unique_lock<std::mutex> lock(mutex_);
  changed_.wait(lock, [this] { return queued_.empty() && !hashing_; });
}

void Sha256::Reset() {
  if (worker_.joinable()) {
    filling_.clear();
    Wait();
    std::lock_guard<std::mutex> lock(mutex_);
    failed_ = false;
  }
  ok_ = context_ && EVP_DigestInit_ex(context_.get(), EVP_sha256(), nullptr) == 1;
}

void Sha256::Update(const void* data, size_t n) {
  if (!ok_ || n == 0) return;
  if (!worker_.joinable()) {
    ok_ = EVP_DigestUpdate(context_.get(), data, n) == 1;
    return;
  }
  const auto* bytes = static_cast<const unsigned char*>(data);
  try {
    while (n > 0) {
      const size_t take = std::min(n, kBlockBytes - filling_.size());
      filling_.insert(filling_.end(), bytes, bytes + take);
      bytes += take;
      n -= take;
      if (filling_.size() == kBlockBytes) Push();
    }
  } catch (...) {
    ok_ = false;  // out of memory: the digest can no longer be trusted
  }
}

bool Sha256::Final(Sha256Digest* digest) {
  bool fed = ok_;
  if (fed && worker_.joinable()) {
    try {
      if (!filling_.empty()) Push();
    } catch (...) {
      fed = false;
    }
    Wait();
    fed = fed && !failed_;
  }
  unsigned int length = 0;
  const bool done = fed && EVP_DigestFinal_ex(context_.get(), digest->data(), &length) == 1 &&
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
