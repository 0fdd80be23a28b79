#include "http/trace.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
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

// The length of the UTF-8 sequence at `s[i]`, or 0 when it is not one.
size_t Utf8Length(const std::string& s, size_t i) {
  const unsigned char c = s[i];
  // C0, C1 and F5..FF never lead a sequence.
  const size_t n = c >= 0xf0 ? (c <= 0xf4 ? 4 : 0) : c >= 0xe0 ? 3 : c >= 0xc2 ? 2 : 0;
  if (n == 0 || i + n > s.size()) return 0;
  for (size_t k = 1; k < n; ++k)
    if ((static_cast<unsigned char>(s[i + k]) & 0xc0) != 0x80) return 0;
  const unsigned char d = s[i + 1];
  if ((c == 0xe0 && d < 0xa0) || (c == 0xed && d > 0x9f) || (c == 0xf0 && d < 0x90) ||
      (c == 0xf4 && d > 0x8f))
    return 0;  // overlong forms, surrogates, past U+10FFFF
  return n;
}

// A text value as the text format writes it: bare when it is one word,
// else quoted as JSON quotes it.
std::string TextValue(const std::string& v) {
  if (v.empty() || v.find_first_of(" \t\"\\=") != std::string::npos) return JsonString(v);
  for (const unsigned char c : v)
    if (c < 0x20 || c >= 0x7f) return JsonString(v);
  return v;
}

std::string Number(double v) {
  char text[64];
  snprintf(text, sizeof text, "%.3f", v);
  return text;
}

std::string Value(const Field& f, bool json) {
  switch (f.kind) {
    case Field::kText:
      return json ? JsonString(f.text) : TextValue(f.text);
    case Field::kInteger:
      return std::to_string(f.integer);
    case Field::kReal:
      return Number(f.real);
    case Field::kList:
      break;
  }
  std::string out = json ? "[" : "";
  for (size_t i = 0; i < f.list.size(); ++i) {
    if (i > 0) out += json ? "," : " ";
    out += json ? JsonString(f.list[i]) : TextValue(f.list[i]);
  }
  return json ? out + "]" : JsonString(out);
}

std::string Bytes(double n) {
  const char* units[] = {"B", "KiB", "MiB", "GiB", "TiB"};
  size_t u = 0;
  while (n >= 1024 && u + 1 < sizeof units / sizeof units[0]) {
    n /= 1024;
    ++u;
  }
  char text[32];
  snprintf(text, sizeof text, u == 0 ? "%.0f %s" : "%.1f %s", n, units[u]);
  return text;
}

// `text` with [start, end) up to its last '@' shown as "***".
std::string HideBefore(const std::string& text, size_t start, size_t end) {
  if (end <= start) return text;
  const size_t at = text.rfind('@', end - 1);
  if (at == std::string::npos || at < start) return text;
  return text.substr(0, start) + "***" + text.substr(at);
}

// The authority that begins at `start` ends at the path, query or fragment.
std::string HideAuthority(const std::string& text, size_t start) {
  return HideBefore(text, start, std::min(text.find_first_of("/?#", start), text.size()));
}

// A command-line argument: an address or URL, or an option with its value
// glued on ("-au:p@h").
std::string HideArgument(const std::string& arg) {
  if (arg.size() > 2 && arg[0] == '-' && arg[1] != '-')
    return arg.substr(0, 2) + HideAddressUserInfo(arg.substr(2));
  return HideAddressUserInfo(arg);
}

// Only these fields hold text that the program reads as an address.
bool AddressField(const char* key) {
  return std::strcmp(key, "given") == 0 || std::strcmp(key, "url") == 0;
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

std::string HideUserInfo(const std::string& url) {
  const size_t scheme = url.find("://");
  return scheme == std::string::npos ? url : HideAuthority(url, scheme + 3);
}

std::string HideAddressUserInfo(const std::string& text) {
  const size_t scheme = text.find("://");
  const bool url = scheme != std::string::npos && scheme < text.find_first_of("/?#");
  const std::string out = HideAuthority(text, url ? scheme + 3 : 0);
  // A -d takes its server from the segment before "/linuxsetup", wherever
  // that is: "/u:p@h/linuxsetup/x" names one too.
  const size_t split = out.find("/linuxsetup");
  const size_t slash =
      split == std::string::npos || split == 0 ? std::string::npos : out.rfind('/', split - 1);
  return slash == std::string::npos ? out : HideBefore(out, slash + 1, split);
}

std::string JsonString(const std::string& text) {
  std::string out = "\"";
  for (size_t i = 0; i < text.size();) {
    const unsigned char c = text[i];
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\r') {
      out += "\\r";
    } else if (c == '\t') {
      out += "\\t";
    } else if (c < 0x20 || c == 0x7f) {
      char hex[8];
      snprintf(hex, sizeof hex, "\\u%04x", c);
      out += hex;
    } else if (c >= 0x80) {
      const size_t n = Utf8Length(text, i);
      if (n > 0) {
        out.append(text, i, n);
        i += n;
        continue;
      }
      char hex[8];
      snprintf(hex, sizeof hex, "\\u%04x", c);
      out += hex;
    } else {
      out += static_cast<char>(c);
    }
    ++i;
  }
  return out + "\"";
}

std::string FormatJson(double time, long pid, const char* event,
                       const std::vector<Field>& fields) {
  std::string line = "{\"time\":" + Number(time) + ",\"pid\":" + std::to_string(pid) +
                     ",\"event\":" + JsonString(event);
  for (const Field& f : fields) line += "," + JsonString(f.key) + ":" + Value(f, true);
  return line + "}\n";
}

std::string FormatText(double time, long pid, const char* event,
                       const std::vector<Field>& fields) {
  std::string line = Number(time) + " [" + std::to_string(pid) + "] " + event;
  for (const Field& f : fields) line += std::string(" ") + f.key + "=" + Value(f, false);
  return line + "\n";
}

std::string ProgressLine(int64_t bytes, int64_t total, double rate, size_t width) {
  std::vector<std::string> parts;
  if (total > 0) {
    char share[16];
    snprintf(share, sizeof share, "%3d%%", static_cast<int>(bytes * 100 / total));
    parts = {share, " " + Bytes(bytes) + " of " + Bytes(total)};
  } else {
    parts = {Bytes(bytes)};
  }
  parts.push_back(", " + Bytes(rate) + "/s");
  if (total > 0 && rate > 0) {
    char left[32];
    snprintf(left, sizeof left, ", %.0f s left", (total - bytes) / rate);
    parts.push_back(left);
  }
  std::string line;
  for (const std::string& part : parts) {
    if (line.size() + part.size() > width) break;
    line += part;
  }
  return line;
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

void Emit(const char* event, std::initializer_list<Field> list) {
  if (!On()) return;
  std::vector<Field> fields(list);
  for (Field& f : fields)
    if (f.kind == Field::kText)
      f.text = AddressField(f.key) ? HideAddressUserInfo(f.text) : HideUserInfo(f.text);
  const long pid = static_cast<long>(getpid());
  if (g_sink.terminal && std::strcmp(event, "progress") == 0) {
    const Field* bytes = nullptr;
    const Field* total = nullptr;
    const Field* rate = nullptr;
    for (const Field& f : fields) {
      if (std::strcmp(f.key, "bytes") == 0) bytes = &f;
      if (std::strcmp(f.key, "total") == 0) total = &f;
      if (std::strcmp(f.key, "rate") == 0) rate = &f;
    }
    if (bytes && total && rate) {
      DrawProgress(bytes->integer, total->integer, rate->real);
      return;
    }
  }
  std::string line = g_sink.json ? FormatJson(Seconds(), pid, event, fields)
                                 : FormatText(Seconds(), pid, event, fields);
  if (g_sink.line_open) line = ClearLine() + line;
  g_sink.line_open = false;
  g_sink.drawn = 0;
  Write(line);
}

int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - g_sink.start)
      .count();
}

long MsSince(int64_t start_ms) { return static_cast<long>(NowMs() - start_ms); }

void Progress(int64_t bytes, int64_t total) {
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
  Emit("progress", {{"bytes", static_cast<long long>(bytes)},
                    {"total", static_cast<long long>(total)}, {"rate", rate}});
}

void NewTransfer() {
  if (On()) g_sink.last_progress_ms = -1;
}

void End(int status) {
  if (!On()) return;
  Emit("end", {{"status", status}, {"ms", static_cast<long>(NowMs())}});
}

}  // namespace trace
