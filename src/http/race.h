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

// Starts posts[0]; starts the next one as soon as a running one has failed,
// or once `stagger` has passed since the last start, keeping the earlier
// ones running. The first post that PostData would answer non-empty (status
// 200 and a body) wins, and every other one is stopped at once; of several
// that finish together, the earliest in the list wins. Returns the winner's
// index, or -1 when every post failed or timed out. Each post is bounded by
// `timeout` alone, so the whole race takes about one time-out plus the
// stagger of each post, not one time-out per post.
int RacePosts(const std::vector<PostRequest>& posts,
              std::chrono::milliseconds stagger);

#endif  // MGMTFETCH_HTTP_RACE_H_
