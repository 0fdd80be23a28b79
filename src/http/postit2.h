// postit2::PostData's transfer as a handle, for callers that drive several
// at once on a multi handle.
#ifndef MGMTFETCH_HTTP_POSTIT2_H_
#define MGMTFETCH_HTTP_POSTIT2_H_

#include <string>

#include "http/easy.h"
#include "http/http.h"

// The transfer of postit2::PostData, set up on a new handle but not run.
// `cursor` (over the body) and `answer` must outlive the transfer. Null when
// no transfer may be made.
EasyHandle NewPostHandle(const std::string& url, PostDataCursor* cursor,
                         std::string* answer);

// What PostData makes of a finished transfer: `answer` on status 200, else "".
std::string PostAnswer(CURL* handle, const std::string& answer);

#endif  // MGMTFETCH_HTTP_POSTIT2_H_
