// The list of package digests a download is checked against, in the format
// `sha256sum` writes and `sha256sum -c` reads.
#ifndef MGMTFETCH_HTTP_SUMS_H_
#define MGMTFETCH_HTTP_SUMS_H_

#include <cstddef>
#include <string>

#include "http/sha256.h"

// Names the list; counts only when set and not empty.
constexpr char kSumsVariable[] = "MGMTFETCH_SHA256SUMS";

// The most a list may hold: a list of a million packages is far smaller, and
// a bigger file is not a list.
constexpr size_t kSumsLimit = size_t{16} << 20;

// The digest `list` gives the file `name` (a name without "/"), into
// *digest. Every line must be "<64 hex digits> <blank or *><name>", hex in
// either case, or blank; a trailing "\r" is dropped. A line that starts with
// "\" is one sha256sum wrote for a name holding "\" or a line break: in its
// name "\\" stands for "\", "\n" for a line feed and "\r" for a carriage
// return, and any other escape is malformed. An entry is for `name` when its
// name is `name` or ends in "/" and `name`. False when any line is
// malformed, no entry is for `name`, or two entries for it differ (the same
// digest twice is one answer, as when the list names a file and a copy).
bool FindListedDigest(const std::string& list, const std::string& name, Sha256Digest* digest);

// The text of the list file at `path` (symlinks followed), into *text.
// False unless it is a regular file of at most kSumsLimit bytes that could
// be read whole.
bool ReadSumsFile(const std::string& path, std::string* text);

#endif  // MGMTFETCH_HTTP_SUMS_H_
