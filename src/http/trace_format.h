// The trace's lines as text: events in either format, the progress line,
// and user names and passwords hidden. Pure: no clock, no sink, no state.
#ifndef MGMTFETCH_HTTP_TRACE_FORMAT_H_
#define MGMTFETCH_HTTP_TRACE_FORMAT_H_

#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

namespace trace {

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

// `url` with any user name and password shown as "***"; other text as it is.
std::string HideUserInfo(const std::string& url);
// The same for an address or URL as -a and -d take it: text without a
// scheme starts with its authority ("u:p@h:80/..."), and the segment before
// "/linuxsetup" is a download's server. An '@' in the path, query or
// fragment stays.
std::string HideAddressUserInfo(const std::string& text);
// The same for a command-line argument: an address or URL, or an option
// with its value glued on ("-au:p@h").
std::string HideArgument(const std::string& arg);
// The fields as an event shows them: text fields through HideUserInfo, and
// the address fields (given, url) through HideAddressUserInfo.
std::vector<Field> HideFields(std::initializer_list<Field> fields);

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

}  // namespace trace

#endif  // MGMTFETCH_HTTP_TRACE_FORMAT_H_
