#include "http/trace_format.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace trace {
namespace {

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

// Only these fields hold text that the program reads as an address.
bool AddressField(const char* key) {
  return std::strcmp(key, "given") == 0 || std::strcmp(key, "url") == 0;
}

}  // namespace

std::string HideArgument(const std::string& arg) {
  if (arg.size() > 2 && arg[0] == '-' && arg[1] != '-')
    return arg.substr(0, 2) + HideAddressUserInfo(arg.substr(2));
  return HideAddressUserInfo(arg);
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

std::vector<Field> HideFields(std::initializer_list<Field> list) {
  std::vector<Field> fields(list);
  for (Field& f : fields)
    if (f.kind == Field::kText)
      f.text = AddressField(f.key) ? HideAddressUserInfo(f.text) : HideUserInfo(f.text);
  return fields;
}

}  // namespace trace
