// The command-line front end: the held server address, the run's attempt
// budget, and the two jobs (version query and package download).
#ifndef MGMTFETCH_CLI_CURL_TOOL_H_
#define MGMTFETCH_CLI_CURL_TOOL_H_

#include <cstdint>
#include <string>

constexpr int32_t NETWORK_TIMEOUT_SECONED = 10;

// Attempts for the whole run, shared by every -w and -d, and those left.
constexpr int32_t kAttemptBudget = 10;
extern int32_t retry;

// Writes the usage text to standard output.
void usage();

// Reads -t's text as atoi does (blanks, one sign, digits, the rest ignored),
// clamped to the int32_t range instead of wrapping. False, leaving *seconds
// as it was, when no digit follows: atoi's 0 would mean no limit at all.
bool ParseTimeout(const char* text, int32_t* seconds);

// A package URL cut at its first "/linuxsetup": the segment just before it
// names the server, the rest is the path asked of that server.
struct PackageUrl {
  std::string server;
  std::string path;
};

// False when the URL holds no "/linuxsetup" or no "/" before it.
bool SplitPackageUrl(const std::string& url, PackageUrl* parts);

// The local file name: the text after the last "/" (never holds a "/").
std::string PackageFileName(const std::string& url);

class CurlTool {
 public:
  CurlTool();
  CurlTool(const CurlTool&) = delete;
  CurlTool& operator=(const CurlTool&) = delete;

  void set_address(std::string address) { address_ = std::move(address); }

  // Prints the text of the server's /version.info, or nothing if no attempt
  // got an answer.
  void get_server_version();

  // Saves the package at `url` (a path holding "/linuxsetup") in the current
  // directory under its last segment. 0 on success, -1 otherwise.
  int download_package(std::string url);

 private:
  std::string address_;
};

#endif  // MGMTFETCH_CLI_CURL_TOOL_H_
