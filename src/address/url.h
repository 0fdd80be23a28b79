// URLs as libcurl reads them for a transfer, parsed by libcurl itself: the
// server's URL that FormatIpAddr writes is read back here, so a check and
// the transfer it guards can never read one text two ways.
#ifndef MGMTFETCH_ADDRESS_URL_H_
#define MGMTFETCH_ADDRESS_URL_H_

#include <string>

// What libcurl itself would refuse before sending anything (a blank in the
// path, a bad port): the same parse, with the flags it uses for a transfer.
bool WellFormedUrl(const std::string& url);

// True when libcurl reads `url` as a request for a "/linuxsetup" path of
// exactly the server of `base` (scheme and authority, as FormatIpAddr writes
// them): the same host, port and zone, and no user name.
bool UrlNamesServer(const std::string& url, const std::string& base);

#endif  // MGMTFETCH_ADDRESS_URL_H_
