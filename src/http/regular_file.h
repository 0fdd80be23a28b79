// Opening a file that must be a regular one, without ever blocking on it.
#ifndef MGMTFETCH_HTTP_REGULAR_FILE_H_
#define MGMTFETCH_HTTP_REGULAR_FILE_H_

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

// A file descriptor closed with its owner; negative when there is none.
class UniqueFd {
 public:
  explicit UniqueFd(int fd) : fd_(fd) {}
  ~UniqueFd() {
    if (fd_ >= 0) close(fd_);
  }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

// `path` opened for reading when it is a regular file, else a negative
// descriptor. O_NONBLOCK keeps a FIFO from holding
// the open up, and is meaningless for the regular file that passes. With
// `follow` false a symlink is refused rather than followed.
inline int OpenRegularFile(const std::string& path, bool follow) {
  const int fd = open(path.c_str(),
                      O_RDONLY | O_NONBLOCK | O_CLOEXEC | (follow ? 0 : O_NOFOLLOW));
  struct stat st {};
  if (fd >= 0 && fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) return fd;
  if (fd >= 0) close(fd);
  return -1;
}

#endif  // MGMTFETCH_HTTP_REGULAR_FILE_H_
