// The file a download is written to before it replaces its target.
#ifndef MGMTFETCH_HTTP_TEMP_FILE_H_
#define MGMTFETCH_HTTP_TEMP_FILE_H_

#include <stdio.h>

#include <cstdint>
#include <memory>
#include <string>

// A target that no file can be renamed onto (an empty name, ".", "..", a
// directory, a name the filesystem refuses): nothing should be fetched.
bool UnusableTarget(const std::string& path);

// A new file beside `target` that replaces it only through Commit; otherwise
// the destructor removes it. Where the filesystem allows, it has no name
// until Commit, so that no way of ending the process can leave it behind,
// and Commit links it straight to the target's name when that is free; a
// target that exists is replaced through a hidden ".mgmtfetch-XXXXXX" name
// and a rename, and only SIGKILL between the two can leave that name. Where
// the filesystem does not allow it, it is such a hidden file from the start,
// removed on the usual termination signals while it exists. Either way it is
// created as a plain file would be (mode 0666 less the umask, or the
// directory's default ACL).
class TempFile {
 public:
  // `nameless` false skips the nameless kind, as on a filesystem without it.
  explicit TempFile(const std::string& target, bool nameless = true);
  ~TempFile();
  TempFile(const TempFile&) = delete;
  TempFile& operator=(const TempFile&) = delete;

  // False when no file could be created.
  bool ok() const { return stream_ != nullptr; }
  bool nameless() const { return nameless_; }
  // The stream to append the body to (256 KiB buffer).
  FILE* stream() const { return stream_; }

  // Appends n bytes at `data` to the stream; the count taken, which is short
  // only when a write failed.
  size_t Append(const void* data, size_t n);

  // Writes out what is buffered; the bytes the file holds, or -1 when a write
  // failed (the stream's error flag is then set).
  int64_t Flush();
  // The last n bytes written, read back into *tail. False when the file
  // holds fewer, or a write or read failed.
  bool Tail(size_t n, std::string* tail);
  // Empties the file for a fresh start. False when a write failed.
  bool Truncate();
  // Flushes, closes and puts the file in place of the target. False if any
  // of that failed; the file is then removed.
  bool Commit();

 private:
  class SignalGuard;
  void Close();

  std::string target_;
  std::string name_;  // empty while the file has no name
  bool nameless_ = false;
  // Outlives stream_: Close closes the stream first.
  std::unique_ptr<char[]> buffer_;
  FILE* stream_ = nullptr;
  // Armed while the file has a name.
  std::unique_ptr<SignalGuard> guard_;
};

#endif  // MGMTFETCH_HTTP_TEMP_FILE_H_
