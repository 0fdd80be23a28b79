// An opt-in account of what a run did and why it failed, for the operator
// of a fleet: off unless MGMTFETCH_TRACE names a target, one line per event
// in text or JSON, and never a change to what the program does.
#ifndef MGMTFETCH_HTTP_TRACE_H_
#define MGMTFETCH_HTTP_TRACE_H_

#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

namespace trace {

constexpr char kTraceVariable[] = "MGMTFETCH_TRACE";
constexpr char kFormatVariable[] = "MGMTFETCH_TRACE_FORMAT";

// One field of an event: a text, a list of texts, a whole number or a real.
struct Field {
  enum Kind { kText, kList, kInteger, kReal };
  Field(const char* k, const char* v) : key(k), kind(kText), text(v) {}
  Field(const char* k, std::string v) : key(k), kind(kText), text(std::move(v)) {}
  Field(const char* k, std::vector<std::string> v) : key(k), kind(kList), list(std::move(v)) {}
  Field(const char* k, int v) : key(k), kind(kInteger), integer(v) {}
  Field(const char* k, long v) : key(k), kind(kInteger), integer(v) {}
  Field(const char* k, long long v) : key(k), kind(kInteger), integer(v) {}
  Field(const char* k, double v) : key(k), kind(kReal), real(v) {}

  const char* key;
  Kind kind;
  std::string text;
  std::vector<std::string> list;
  int64_t integer = 0;
  double real = 0;
};

// Where the variables send the trace.
struct Target {
  enum Kind { kOff, kStderr, kFile, kIgnored } kind = kOff;
  std::string path;   // kFile
  bool json = false;
};

// Unset, empty or "0": off; "1": standard error; an absolute path: that
// file; anything else is ignored (and said so). The format is JSON Lines
// for "json", text otherwise.
Target ChooseTarget(const char* trace, const char* format);

// `url` with any user name and password shown as "***"; other text as it is.
std::string HideUserInfo(const std::string& url);
// The same for an address or URL as -a and -d take it: text without a
// scheme starts with its authority ("u:p@h:80/..."), and the segment before
// "/linuxsetup" is a download's server. An '@' in the path, query or
// fragment stays.
std::string HideAddressUserInfo(const std::string& text);

// A JSON string literal of `text`: quotes, backslashes and control bytes
// escaped, bytes that are not UTF-8 written as \u00XX, so every line parses.
std::string JsonString(const std::string& text);

// One event as one line, newline included. `time` is in seconds since the
// run started.
std::string FormatJson(double time, long pid, const char* event, const std::vector<Field>& fields);
std::string FormatText(double time, long pid, const char* event, const std::vector<Field>& fields);

// The in-place progress line of a terminal: share, bytes, rate, time left,
// with fields dropped from the right until it fits in `width` columns.
std::string ProgressLine(int64_t bytes, int64_t total, double rate, size_t width);

// Reads the variables (once), opens the target and writes the start event.
// A file is used only when it is a regular one of the effective user that
// group and others cannot write; anything else is refused, with one line on
// standard error, and the run goes on untraced.
void Start(const char* version, int argc, char** argv);
// Whether events are written at all: callers test it before gathering the
// facts of an event, so that a run without a trace formats nothing.
bool On();
// Writes one event, with a single write(2). Text fields go through
// HideUserInfo, and the address fields (given, url) through
// HideAddressUserInfo. Failed writes are ignored.
void Emit(const char* event, std::initializer_list<Field> fields);
// A progress event, at most one a second (total -1: unknown). The rate
// counts from the first byte of the body since NewTransfer.
void Progress(int64_t bytes, int64_t total);
// A new request: a later attempt, a resumed one, or another download.
void NewTransfer();
// The end event, with the exit status.
void End(int status);
// Milliseconds since `start_ms` of the run's clock, and that clock now.
long MsSince(int64_t start_ms);
int64_t NowMs();

}  // namespace trace

#endif  // MGMTFETCH_HTTP_TRACE_H_
