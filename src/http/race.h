// Several POSTs of postit2::PostData's kind raced on the caller's thread,
// staggered the way Happy Eyeballs staggers connection attempts: a slow or
// silent server delays the others by the stagger, not by its time-out.
#ifndef MGMTFETCH_HTTP_RACE_H_
#define MGMTFETCH_HTTP_RACE_H_

#include <chrono>
#include <string>
#include <vector>

struct PostRequest {
  std::string url;
  std::string body;
};

// How one post of a race ended, for the trace.
struct PostOutcome {
  bool sent = false;      // it was started
  bool answered = false;  // it won, or would have
  long status = 0;        // the HTTP status of its answer, 0 for none
  std::string error;      // libcurl's word on why it failed, "" if it did not
  long ms = 0;            // from its start to its end (or to the race's)
};

// Starts posts[0]; starts the next one as soon as a running one has failed,
// or once `stagger` has passed since the last start, keeping the earlier
// ones running. The first post that PostData would answer non-empty (status
// 200 and a body) wins, and every other one is stopped at once; of several
// that finish together, the earliest in the list wins. Returns the winner's
// index, or -1 when every post failed or timed out. Each post is bounded by
// `timeout` alone, so the whole race takes about one time-out plus the
// stagger of each post, not one time-out per post.
// With `outcomes`, it is resized to one entry a post and filled in.
int RacePosts(const std::vector<PostRequest>& posts,
              std::chrono::milliseconds stagger,
              std::vector<PostOutcome>* outcomes = nullptr);

#endif  // MGMTFETCH_HTTP_RACE_H_
