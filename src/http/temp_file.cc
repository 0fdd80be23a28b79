#include "http/temp_file.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <new>

namespace {

// The named temporary file that exists right now, so that a signal that ends
// the process does not leave it behind. One download runs at a time.
char g_pending[PATH_MAX];

extern "C" void RemovePendingAndDie(int sig) {
  if (g_pending[0] != '\0') unlink(g_pending);
  signal(sig, SIG_DFL);
  raise(sig);
}

// libcurl hands the write callback at most 16 KiB at a time, and with
// stdio's default 4 KiB buffer every chunk became a write(2) of its own: on
// a fast link the system calls and the page cache's per-call work cost more
// than the network. 256 KiB writes cut them sixteen-fold while the buffer
// still sits in the CPU cache between the copy in and the copy out (1 MiB
// measured slower).
constexpr size_t kWriteBufferBytes = 256 * 1024;

std::string DirectoryOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

// Calls make(name) with fresh hidden names beside `target` until one is not
// taken; the name made, or "" with errno set.
template <typename Make>
std::string MakeUnique(const std::string& target, Make make) {
  static const char kLetters[] =
      "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
  for (int tries = 0; tries < 100; ++tries) {
    unsigned char random[6];
    if (getrandom(random, sizeof random, 0) != sizeof random) return "";
    std::string name = DirectoryOf(target) + "/.mgmtfetch-";
    for (unsigned char r : random) name += kLetters[r % (sizeof kLetters - 1)];
    if (make(name)) return name;
    if (errno != EEXIST) return "";
  }
  return "";
}

std::string FdPath(int fd) { return "/proc/self/fd/" + std::to_string(fd); }

}  // namespace

// Removes the named file if the process is ended by one of the usual
// termination signals while the guard lives.
class TempFile::SignalGuard {
 public:
  explicit SignalGuard(const std::string& path) {
    if (path.size() >= sizeof g_pending) return;
    std::memcpy(g_pending, path.c_str(), path.size() + 1);
    struct sigaction action {};
    action.sa_handler = RemovePendingAndDie;
    sigemptyset(&action.sa_mask);
    // A signal ignored on entry (nohup, background jobs) stays ignored.
    for (size_t i = 0; i < kCount; ++i) {
      sigaction(kSignals[i], nullptr, &saved_[i]);
      if (saved_[i].sa_handler != SIG_IGN) sigaction(kSignals[i], &action, nullptr);
    }
    armed_ = true;
  }
  ~SignalGuard() {
    if (!armed_) return;
    for (size_t i = 0; i < kCount; ++i) sigaction(kSignals[i], &saved_[i], nullptr);
    g_pending[0] = '\0';
  }
  SignalGuard(const SignalGuard&) = delete;
  SignalGuard& operator=(const SignalGuard&) = delete;

 private:
  static constexpr int kSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};
  static constexpr size_t kCount = sizeof kSignals / sizeof kSignals[0];
  struct sigaction saved_[kCount] {};
  bool armed_ = false;
};
constexpr int TempFile::SignalGuard::kSignals[];

bool UnusableTarget(const std::string& path) {
  if (path.empty() || path.back() == '/') return true;
  struct stat st {};
  // ENOENT is the usual case of a new package; any other error (a name too
  // long, a directory that cannot be searched) would refuse the rename too.
  if (lstat(path.c_str(), &st) != 0) return errno != ENOENT;
  return S_ISDIR(st.st_mode);
}

TempFile::TempFile(const std::string& target, bool nameless) : target_(target) {
  int fd = -1;
  if (nameless) {
    // The same mode a plain create gets, so that the umask or a default ACL
    // applies as it would to the target itself.
    // Read as well: a resumed download reads back the last bytes it kept.
    fd = open(DirectoryOf(target).c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0666);
    struct stat st {};
    // A name is given through /proc at the end; without /proc that fails.
    if (fd >= 0 && stat(FdPath(fd).c_str(), &st) != 0) {
      close(fd);
      fd = -1;
      errno = EOPNOTSUPP;
    }
    // Filesystems without nameless files refuse with EOPNOTSUPP, kernels that
    // predate them with EISDIR; any other error would hit a named file too.
    if (fd < 0 && errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL) return;
    nameless_ = fd >= 0;
  }
  if (fd < 0) {
    name_ = MakeUnique(target, [&fd](const std::string& name) {
      fd = open(name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
      return fd >= 0;
    });
    if (name_.empty()) return;
    guard_.reset(new SignalGuard(name_));
  }
  stream_ = fdopen(fd, "wb");
  if (stream_ == nullptr) {
    close(fd);
    return;
  }
  // Without the larger buffer the download still works, only slower.
  buffer_.reset(new (std::nothrow) char[kWriteBufferBytes]);
  if (buffer_) setvbuf(stream_, buffer_.get(), _IOFBF, kWriteBufferBytes);
}

TempFile::~TempFile() {
  Close();
  if (!name_.empty()) unlink(name_.c_str());
}

void TempFile::Close() {
  if (stream_ != nullptr) fclose(stream_);
  stream_ = nullptr;
}

int64_t TempFile::Flush() {
  if (stream_ == nullptr || fflush(stream_) != 0 || ferror(stream_)) return -1;
  return ftello(stream_);
}

size_t TempFile::Append(const void* data, size_t n) {
  return fwrite(data, 1, n, stream_);
}

bool TempFile::Tail(size_t n, std::string* tail) {
  const int64_t size = Flush();
  if (size < static_cast<int64_t>(n)) return false;
  tail->resize(n);
  for (size_t got = 0; got < n;) {
    // The stream's own position stays at the end, where the body goes on.
    const ssize_t r = pread(fileno(stream_), &(*tail)[got], n - got,
                            size - static_cast<int64_t>(n) + static_cast<int64_t>(got));
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) return false;
    got += static_cast<size_t>(r);
  }
  return true;
}

bool TempFile::Truncate() {
  if (Flush() < 0 || ftruncate(fileno(stream_), 0) != 0) return false;
  rewind(stream_);
  return true;
}

bool TempFile::Commit() {
  if (Flush() < 0) return false;
  bool placed = false;
  if (nameless_) {
    const std::string from = FdPath(fileno(stream_));
    const auto link = [&from](const std::string& name) {
      return linkat(AT_FDCWD, from.c_str(), AT_FDCWD, name.c_str(), AT_SYMLINK_FOLLOW) == 0;
    };
    // A new package gets its name in one step, so that nothing at all, not
    // even SIGKILL, can leave a hidden name behind. A name that is taken
    // (the package being replaced) refuses the link: a rename is the only
    // way to replace it.
    placed = link(target_);
    if (placed) {
      name_ = target_;  // removed by the destructor should the close fail
    } else {
      name_ = MakeUnique(target_, link);
      if (name_.empty()) return false;
      // Only the instant between the link and the rename leaves a name behind.
      guard_.reset(new SignalGuard(name_));
    }
  }
  const bool closed = fclose(stream_) == 0;
  stream_ = nullptr;
  if (!closed || (!placed && rename(name_.c_str(), target_.c_str()) != 0)) return false;
  name_.clear();
  return true;
}
