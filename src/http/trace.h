// An opt-in account of what a run did and why it failed, for the operator
// of a fleet: off unless MGMTFETCH_TRACE names a target, one line per event
// in text or JSON, and never a change to what the program does.
#ifndef MGMTFETCH_HTTP_TRACE_H_
#define MGMTFETCH_HTTP_TRACE_H_

#include <cstdint>
#include <initializer_list>
#include <string>

#include "http/trace_format.h"

namespace trace {

constexpr char kTraceVariable[] = "MGMTFETCH_TRACE";
constexpr char kFormatVariable[] = "MGMTFETCH_TRACE_FORMAT";

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

// Reads the variables (once), opens the target and writes the start event.
// A file is used only when it is a regular one of the effective user that
// group and others cannot write; anything else is refused, with one line on
// standard error, and the run goes on untraced.
void Start(const char* version, int argc, char** argv);
// Whether events are written at all: callers test it before gathering the
// facts of an event, so that a run without a trace formats nothing.
bool On();
// Writes one event, with a single write(2), its user names and passwords
// hidden (HideFields). Failed writes are ignored, and an event that cannot
// be formatted (out of memory) is left out.
void Emit(const char* event, std::initializer_list<Field> fields) noexcept;
// A progress event, at most one a second (total -1: unknown), or on a
// terminal the progress line redrawn in place. The rate counts from the
// first byte of the body since NewTransfer. Called from libcurl's progress
// callback, so nothing unwinds out of it.
void Progress(int64_t bytes, int64_t total) noexcept;
// A new request: a later attempt, a resumed one, or another download.
void NewTransfer() noexcept;
// The end event, with the exit status.
void End(int status);
// Milliseconds since `start_ms` of the run's clock, and that clock now.
long MsSince(int64_t start_ms);
int64_t NowMs();

}  // namespace trace

#endif  // MGMTFETCH_HTTP_TRACE_H_
