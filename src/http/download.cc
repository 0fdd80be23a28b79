#include <curl/curl.h>
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <memory>
#include <new>

#include "http/easy.h"
#include "http/http.h"

namespace {

// The temporary file of the download in progress, so that a signal that
// ends the process mid-transfer does not leave it behind.
char g_pending[PATH_MAX];

extern "C" void RemovePendingAndDie(int sig) {
  if (g_pending[0] != '\0') unlink(g_pending);
  signal(sig, SIG_DFL);
  raise(sig);
}

// Removes the temporary file if the process is ended by one of the usual
// termination signals while the guard lives.
class PendingFileSignals {
 public:
  explicit PendingFileSignals(const std::string& path) {
    if (path.size() >= sizeof g_pending) return;
    std::memcpy(g_pending, path.c_str(), path.size() + 1);
    struct sigaction action {};
    action.sa_handler = RemovePendingAndDie;
    sigemptyset(&action.sa_mask);
    // A signal ignored on entry (nohup, background jobs) stays ignored.
    for (size_t i = 0; i < kCount; ++i) {
      sigaction(kSignals[i], nullptr, &saved_[i]);
      if (saved_[i].sa_handler != SIG_IGN)
        sigaction(kSignals[i], &action, nullptr);
    }
    armed_ = true;
  }
  ~PendingFileSignals() {
    if (!armed_) return;
    for (size_t i = 0; i < kCount; ++i)
      sigaction(kSignals[i], &saved_[i], nullptr);
    g_pending[0] = '\0';
  }
  PendingFileSignals(const PendingFileSignals&) = delete;
  PendingFileSignals& operator=(const PendingFileSignals&) = delete;

 private:
  static constexpr int kSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};
  static constexpr size_t kCount = sizeof kSignals / sizeof kSignals[0];
  struct sigaction saved_[kCount] {};
  bool armed_ = false;
};
constexpr int PendingFileSignals::kSignals[];

// libcurl hands the write callback at most 16 KiB at a time, and with
// stdio's default 4 KiB buffer every chunk became a write(2) of its own: on
// a fast link the system calls and the page cache's per-call work cost more
// than the network. 256 KiB writes cut them sixteen-fold while the buffer
// still sits in the CPU cache between the copy in and the copy out (1 MiB
// measured slower).
constexpr size_t kWriteBufferBytes = 256 * 1024;
// libcurl's own default is 16 KiB, so a plain-HTTP body needed a recv(2)
// and a poll(2) per 16 KiB.
constexpr long kReceiveBufferBytes = 256 * 1024;

std::string DirectoryOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

// A new, private file beside the target. It is created exclusively, so a
// link planted under its name is never followed, and it replaces the target
// only through Commit; otherwise the destructor removes it.
class TempFile {
 public:
  explicit TempFile(const std::string& target)
      : path_(DirectoryOf(target) + "/.mgmtfetch-XXXXXX") {
    const int fd = mkstemp(&path_[0]);
    if (fd < 0) {
      path_.clear();
      return;
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
  ~TempFile() {
    if (stream_ != nullptr) fclose(stream_);
    if (!path_.empty()) unlink(path_.c_str());
  }
  TempFile(const TempFile&) = delete;
  TempFile& operator=(const TempFile&) = delete;

  FILE* stream() const { return stream_; }
  const std::string& path() const { return path_; }

  // Flushes, gives the file the mode a plain create would have had, and
  // renames it over the target. False if any of that failed.
  bool Commit(const std::string& target) {
    const mode_t mask = umask(0);
    umask(mask);
    bool ok = fflush(stream_) == 0 && !ferror(stream_) &&
              fchmod(fileno(stream_), 0666 & ~mask) == 0;
    ok = (fclose(stream_) == 0) && ok;
    stream_ = nullptr;
    if (!ok || rename(path_.c_str(), target.c_str()) != 0) return false;
    path_.clear();
    return true;
  }

 private:
  std::string path_;
  // Outlives stream_: the destructor and Commit close the stream first.
  std::unique_ptr<char[]> buffer_;
  FILE* stream_ = nullptr;
};

// A target that no file can be renamed onto: fail before any traffic.
bool UnusableTarget(const std::string& path) {
  if (path.empty() || path.back() == '/') return true;
  struct stat st {};
  return lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

}  // namespace

size_t CHttpDownload::DownloadCallback(void* chunk, size_t size, size_t count,
                                       void* stream) {
  if (stream == nullptr) return static_cast<size_t>(-1);
  return fwrite(chunk, size, count, static_cast<FILE*>(stream));
}

int CHttpDownload::ProgressCallback(void*, double, double, double, double) {
  return 0;
}

int32_t CHttpDownload::DownloadFile(std::string url, std::string path) {
  EasyHandle handle(curl_easy_init());
  if (!handle) return -1;
  CURL* h = handle.get();
  curl_easy_setopt(h, CURLOPT_URL, url.c_str());
  if (!SecureTransfer(h, url)) return -1;
  if (UnusableTarget(path)) return -1;
  TempFile temp(path);
  if (temp.stream() == nullptr) return -1;
  PendingFileSignals cleanup_on_signal(temp.path());

  curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, CHttpDownload::DownloadCallback);
  curl_easy_setopt(h, CURLOPT_WRITEDATA, temp.stream());
  curl_easy_setopt(h, CURLOPT_MAXREDIRS, 5L);
  curl_easy_setopt(h, CURLOPT_FOLLOWLOCATION, 1L);
  curl_easy_setopt(h, CURLOPT_NOPROGRESS, 0L);
  curl_easy_setopt(h, CURLOPT_PROGRESSFUNCTION, CHttpDownload::ProgressCallback);
  curl_easy_setopt(h, CURLOPT_PROGRESSDATA, this);
  curl_easy_setopt(h, CURLOPT_TIMEOUT, static_cast<long>(timeout));
  curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(h, CURLOPT_BUFFERSIZE, kReceiveBufferBytes);

  if (curl_easy_perform(h) != CURLE_OK) return -1;
  long status = 0;
  curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &status);
  if (status >= 400) return -1;
  return temp.Commit(path) ? 0 : -1;
}
