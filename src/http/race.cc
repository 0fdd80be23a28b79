#include "http/race.h"

#include <curl/curl.h>

#include <algorithm>
#include <memory>

#include "http/postit2.h"

namespace {

using Clock = std::chrono::steady_clock;

struct MultiCleanup {
  void operator()(CURLM* multi) const { curl_multi_cleanup(multi); }
};
using MultiHandle = std::unique_ptr<CURLM, MultiCleanup>;

// One post with its body cursor and answer; while running, its handle sits
// in the multi handle, and leaves it before it is cleaned up, as libcurl
// requires.
class Post {
 public:
  Post() = default;
  Post(const Post&) = delete;
  Post& operator=(const Post&) = delete;
  ~Post() { Stop(); }

  // False when the post failed before it could start.
  bool Start(CURLM* multi, const PostRequest& request) {
    started_ = Clock::now();
    cursor_ = {reinterpret_cast<const unsigned char*>(request.body.data()), 0,
               static_cast<int64_t>(request.body.size())};
    easy_ = NewPostHandle(request.url, &cursor_, &answer_);
    if (!easy_ || curl_multi_add_handle(multi, easy_.get()) != CURLM_OK) {
      easy_.reset();
      return false;
    }
    multi_ = multi;
    return true;
  }

  void Stop() {
    if (multi_ != nullptr) curl_multi_remove_handle(multi_, easy_.get());
    multi_ = nullptr;
    easy_.reset();
  }

  bool Owns(CURL* easy) const { return easy_ && easy_.get() == easy; }
  bool Answered() const { return !PostAnswer(easy_.get(), answer_).empty(); }
  bool Running() const { return multi_ != nullptr; }

  // What the trace tells of this post once it ended with `code`, or, still
  // running, when the race ended.
  PostOutcome Outcome(CURLcode code, bool ended) const {
    PostOutcome o;
    o.sent = true;
    o.ms = static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(
        Clock::now() - started_).count());
    curl_easy_getinfo(easy_.get(), CURLINFO_RESPONSE_CODE, &o.status);
    o.answered = ended && Answered();
    if (!ended) o.error = "stopped: the race was over";
    else if (code != CURLE_OK) o.error = curl_easy_strerror(code);
    else if (!o.answered) o.error = o.status == 200 ? "empty answer" : "not status 200";
    return o;
  }

 private:
  Clock::time_point started_;
  PostDataCursor cursor_{};
  std::string answer_;
  EasyHandle easy_;
  CURLM* multi_ = nullptr;
};

}  // namespace

int RacePosts(const std::vector<PostRequest>& posts,
              std::chrono::milliseconds stagger, std::vector<PostOutcome>* outcomes) {
  if (outcomes != nullptr) outcomes->assign(posts.size(), PostOutcome());
  if (posts.empty()) return -1;
  curl_global_init(CURL_GLOBAL_ALL);
  MultiHandle multi(curl_multi_init());
  if (!multi) return -1;
  // Never resized: libcurl holds the addresses of each post's cursor and
  // answer. Destroyed before the multi handle.
  std::vector<Post> transfers(posts.size());
  // Fills in the posts still running when the race ends.
  const auto finish = [&](int winner) {
    for (size_t i = 0; outcomes != nullptr && i < transfers.size(); ++i)
      if (transfers[i].Running()) (*outcomes)[i] = transfers[i].Outcome(CURLE_OK, false);
    return winner;
  };
  size_t next = 0;
  int running = 0;
  Clock::time_point next_start = Clock::now();
  for (;;) {
    // A post that cannot start has failed at once, so the one after it is
    // due at once too.
    while (next < posts.size() && (running == 0 || Clock::now() >= next_start)) {
      if (transfers[next].Start(multi.get(), posts[next])) {
        ++running;
        next_start = Clock::now() + stagger;
      }
      ++next;
    }
    if (running == 0) return finish(-1);

    // Should libcurl fail as a whole, no post would ever report its end:
    // give up rather than wait for ever.
    int still_running = 0;
    if (curl_multi_perform(multi.get(), &still_running) != CURLM_OK) return finish(-1);
    int winner = -1;
    bool failed = false;
    int left = 0;
    while (CURLMsg* msg = curl_multi_info_read(multi.get(), &left)) {
      if (msg->msg != CURLMSG_DONE) continue;
      CURL* easy = msg->easy_handle;  // msg dies with the handle's removal
      const auto it = std::find_if(transfers.begin(), transfers.end(),
                                   [easy](const Post& p) { return p.Owns(easy); });
      if (it == transfers.end()) continue;
      const int index = static_cast<int>(it - transfers.begin());
      if (outcomes != nullptr) (*outcomes)[index] = it->Outcome(msg->data.result, true);
      if (it->Answered()) {
        if (winner < 0 || index < winner) winner = index;
      } else {
        failed = true;
      }
      it->Stop();
      --running;
    }
    if (winner >= 0) return finish(winner);  // the others stop as the posts go
    if (failed) {
      next_start = Clock::now();
      continue;
    }
    long wait_ms = 1000;
    if (next < posts.size()) {
      const auto until = std::chrono::ceil<std::chrono::milliseconds>(
          next_start - Clock::now());
      wait_ms = std::max<long>(0, static_cast<long>(until.count()));
    }
    if (curl_multi_poll(multi.get(), nullptr, 0, static_cast<int>(wait_ms),
                        nullptr) != CURLM_OK)
      return finish(-1);
  }
}
