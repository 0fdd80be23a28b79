#include "http/sums.h"

#include <errno.h>
#include <unistd.h>

#include <algorithm>

#include "http/regular_file.h"

namespace {

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Undoes the escapes of a name on a line that began with "\"; false for
// an escape sha256sum never writes, or a lone "\" at the end.
bool Unescape(std::string* name) {
  std::string plain;
  for (size_t i = 0; i < name->size(); ++i) {
    if ((*name)[i] != '\\') {
      plain += (*name)[i];
      continue;
    }
    const char next = ++i < name->size() ? (*name)[i] : '\0';
    if (next == '\\') plain += '\\';
    else if (next == 'n') plain += '\n';
    else if (next == 'r') plain += '\r';
    else return false;
  }
  name->swap(plain);
  return true;
}

// One entry of the list: false when `line` is not of the form sha256sum
// writes.
bool ParseEntry(std::string line, Sha256Digest* digest, std::string* name) {
  const bool escaped = !line.empty() && line[0] == '\\';
  if (escaped) line.erase(0, 1);
  const size_t hex = 2 * digest->size();
  if (line.size() < hex + 3 || line[hex] != ' ' || (line[hex + 1] != ' ' && line[hex + 1] != '*'))
    return false;
  for (size_t i = 0; i < digest->size(); ++i) {
    const int high = HexValue(line[2 * i]), low = HexValue(line[2 * i + 1]);
    if (high < 0 || low < 0) return false;
    (*digest)[i] = static_cast<unsigned char>(high << 4 | low);
  }
  *name = line.substr(hex + 2);
  return !escaped || Unescape(name);
}

bool IsBlank(const std::string& line) {
  return line.find_first_not_of(" \t") == std::string::npos;
}

}  // namespace

bool FindListedDigest(const std::string& list, const std::string& name, Sha256Digest* digest) {
  bool found = false;
  for (size_t start = 0; start < list.size();) {
    size_t end = list.find('\n', start);
    if (end == std::string::npos) end = list.size();
    std::string line = list.substr(start, end - start);
    start = end + 1;
    // A list saved on Windows.
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (IsBlank(line)) continue;
    Sha256Digest listed;
    std::string listed_name;
    if (!ParseEntry(line, &listed, &listed_name)) return false;
    const size_t tail = listed_name.size() - std::min(listed_name.size(), name.size());
    const bool match = listed_name.compare(tail, std::string::npos, name) == 0 &&
                       (tail == 0 || listed_name[tail - 1] == '/');
    if (!match) continue;
    // Two answers to what the package must be: neither can be trusted.
    if (found && listed != *digest) return false;
    *digest = listed;
    found = true;
  }
  return found;
}

bool ReadSumsFile(const std::string& path, std::string* text) {
  const UniqueFd fd(OpenRegularFile(path, true));
  if (fd.get() < 0) return false;
  std::string read_so_far;
  char buffer[65536];
  // Counted as it is read rather than taken from fstat: a file that grows
  // meanwhile is held to the limit too.
  for (;;) {
    const ssize_t n = read(fd.get(), buffer, sizeof buffer);
    if (n == 0) break;
    if (n < 0 && errno != EINTR) return false;
    if (n > 0) read_so_far.append(buffer, static_cast<size_t>(n));
    if (read_so_far.size() > kSumsLimit) return false;
  }
  text->swap(read_so_far);
  return true;
}
