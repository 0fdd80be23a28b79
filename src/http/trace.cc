#include "http/trace.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>

namespace trace {
namespace {

using Clock = std::chrono::steady_clock;

// The one sink of the run. Closed at exit with the process; a file it
// opened is closed by the owner below.
struct Sink {
  int fd = -1;
  bool json = false;
  bool owned = false;
  bool terminal = false;       // text to a terminal: progress redrawn in place
  bool plain = false;          // TERM dumb or unset: no escape sequences
  bool line_open = false;      // a progress line waits to be cleared
  size_t drawn = 0;            // its columns
  Clock::time_point start = Clock::now();
  int64_t last_progress_ms = -1;
  int64_t progress_from_ms = 0;
  int64_t progress_from_bytes = 0;
  ~Sink() {
    if (owned) close(fd);
  }
};
Sink g_sink;

void Say(const std::string& text) {
  const ssize_t ignored = write(STDERR_FILENO, text.data(), text.size());
  (void)ignored;
}

void Write(const std::string& line) {
  const ssize_t ignored = write(g_sink.fd, line.data(), line.size());
  (void)ignored;
}

double Seconds() {
  return std::chrono::duration<double>(Clock::now() - g_sink.start).count();
}

// The terminal's width; 80 where it does not say.
size_t Columns() {
  struct winsize size {};
  return ioctl(g_sink.fd, TIOCGWINSZ, &size) == 0 && size.ws_col > 0 ? size.ws_col : 80;
}

// Moves back over the progress line and blanks it. Blanks, not an escape
// sequence, where the terminal may not know one.
std::string ClearLine() {
  return g_sink.plain ? "\r" + std::string(g_sink.drawn, ' ') + "\r" : "\r\x1b[K";
}

void DrawProgress(int64_t bytes, int64_t total, double rate) {
  // One column short of the width: a line that reaches the last column
  // wraps on some terminals, and "\r" goes back only to its last row.
  const std::string line = ProgressLine(bytes, total, rate, Columns() - 1);
  const size_t stale = g_sink.drawn > line.size() ? g_sink.drawn - line.size() : 0;
  Write("\r" + line + (g_sink.plain ? std::string(stale, ' ') : "\x1b[K"));
  g_sink.line_open = true;
  g_sink.drawn = line.size();
}

// The trace file, appended to; -1 and the reason why not. Only a regular
// file of this user that no one else may write is taken: with a shared path
// such as /tmp/mgmtfetch.trace, anything else would let another local user
// make a root run create or grow any file (through a symbolic link, even a
// dangling one), or read what it traces into a file of theirs.
int OpenFile(const std::string& path, std::string* why) {
  struct stat st {};
  // Refused before it is opened: opening a device can act on it.
  if (lstat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) {
    *why = S_ISLNK(st.st_mode) ? "a symbolic link" : "not a regular file";
    return -1;
  }
  // What the path turned into since is refused all the same: O_NOFOLLOW,
  // O_NOCTTY and O_NONBLOCK (a FIFO would hold the run up), then the checks
  // on the file actually opened.
  const int fd = open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_NOCTTY |
                                        O_CLOEXEC | O_NONBLOCK, 0600);
  if (fd < 0) {
    *why = std::strerror(errno);
    return -1;
  }
  if (fstat(fd, &st) != 0)
    *why = std::strerror(errno);
  else if (!S_ISREG(st.st_mode))
    *why = "not a regular file";
  else if (st.st_uid != geteuid())
    *why = "owned by another user";
  else if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0)
    *why = "writable by group or others";
  else
    return fd;
  close(fd);
  return -1;
}

}  // namespace

Target ChooseTarget(const char* trace, const char* format) {
  Target t;
  t.json = format != nullptr && std::strcmp(format, "json") == 0;
  if (trace == nullptr || *trace == '\0' || std::strcmp(trace, "0") == 0) return t;
  if (std::strcmp(trace, "1") == 0) {
    t.kind = Target::kStderr;
  } else if (trace[0] == '/') {
    t.kind = Target::kFile;
    t.path = trace;
  } else {
    t.kind = Target::kIgnored;
  }
  return t;
}

void Start(const char* version, int argc, char** argv) {
  const char* value = std::getenv(kTraceVariable);
  const Target target = ChooseTarget(value, std::getenv(kFormatVariable));
  switch (target.kind) {
    case Target::kOff:
      return;
    case Target::kIgnored:
      Say(std::string("mgmtfetch: ") + kTraceVariable + "=" + value +
          " is ignored: give 1 or an absolute path\n");
      return;
    case Target::kStderr:
      g_sink.fd = STDERR_FILENO;
      g_sink.terminal = !target.json && isatty(STDERR_FILENO);
      if (g_sink.terminal) {
        const char* term = std::getenv("TERM");
        g_sink.plain = term == nullptr || *term == '\0' || std::strcmp(term, "dumb") == 0;
      }
      break;
    case Target::kFile: {
      std::string why;
      const int fd = OpenFile(target.path, &why);
      if (fd < 0) {
        Say("mgmtfetch: cannot trace to " + target.path + ": " + why + "\n");
        return;
      }
      g_sink.fd = fd;
      g_sink.owned = true;
      break;
    }
  }
  g_sink.json = target.json;
  g_sink.start = Clock::now();
  std::vector<std::string> args(argv + (argc > 0 ? 1 : 0), argv + argc);
  for (std::string& a : args) a = HideArgument(a);
  Emit("start", {{"version", version}, {"args", args}});
}

bool On() { return g_sink.fd >= 0; }

void Emit(const char* event, std::initializer_list<Field> list) noexcept {
  if (!On()) return;
  try {
    const std::vector<Field> fields = HideFields(list);
    const long pid = static_cast<long>(getpid());
    std::string line = g_sink.json ? FormatJson(Seconds(), pid, event, fields)
                                   : FormatText(Seconds(), pid, event, fields);
    if (g_sink.line_open) line = ClearLine() + line;
    g_sink.line_open = false;
    g_sink.drawn = 0;
    Write(line);
  } catch (...) {
    // Out of memory: the trace misses this event, and the run goes on as
    // it would untraced.
  }
}

int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - g_sink.start)
      .count();
}

long MsSince(int64_t start_ms) { return static_cast<long>(NowMs() - start_ms); }

void Progress(int64_t bytes, int64_t total) noexcept {
  if (!On()) return;
  const int64_t now = NowMs();
  if (g_sink.last_progress_ms < 0) {
    // A new body: its rate counts from here, its first event a second on.
    g_sink.last_progress_ms = now;
    g_sink.progress_from_ms = now;
    g_sink.progress_from_bytes = bytes;
    return;
  }
  if (now - g_sink.last_progress_ms < 1000) return;
  g_sink.last_progress_ms = now;
  const double seconds = (now - g_sink.progress_from_ms) / 1000.0;
  const double rate = seconds > 0 ? (bytes - g_sink.progress_from_bytes) / seconds : 0;
  if (!g_sink.terminal) {
    Emit("progress", {{"bytes", static_cast<long long>(bytes)},
                      {"total", static_cast<long long>(total)}, {"rate", rate}});
    return;
  }
  try {
    DrawProgress(bytes, total, rate);
  } catch (...) {
    // Out of memory: the line stays as it was drawn last.
  }
}

void NewTransfer() noexcept {
  if (On()) g_sink.last_progress_ms = -1;
}

void End(int status) {
  if (!On()) return;
  Emit("end", {{"status", status}, {"ms", static_cast<long>(NowMs())}});
}

}  // namespace trace
