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

// The posts of one race: which have started, which still run, when the
// next one is due. Destroyed before the multi handle the posts sit in.
class Race {
 public:
  Race(CURLM* multi, const std::vector<PostRequest>& posts, std::chrono::milliseconds stagger,
       std::vector<PostOutcome>* outcomes)
      : multi_(multi), posts_(posts), stagger_(stagger), outcomes_(outcomes),
        transfers_(posts.size()) {}

  bool Running() const { return running_ > 0; }

  // Starts the first post, and each next one once the stagger has passed
  // since the last start or nothing runs. A post that cannot start has
  // failed at once, so the one after it is due at once too.
  void StartDue() {
    while (next_ < posts_.size() && (running_ == 0 || Clock::now() >= next_start_)) {
      if (transfers_[next_].Start(multi_, posts_[next_])) {
        ++running_;
        next_start_ = Clock::now() + stagger_;
      }
      ++next_;
    }
  }

  // Takes the posts that ended out of the race. Returns the earliest in the
  // list that was answered, or -1; `failed`: one ended without an answer.
  int Reap(bool* failed) {
    int winner = -1;
    int left = 0;
    while (CURLMsg* msg = curl_multi_info_read(multi_, &left)) {
      if (msg->msg != CURLMSG_DONE) continue;
      CURL* easy = msg->easy_handle;  // msg dies with the handle's removal
      const auto it = std::find_if(transfers_.begin(), transfers_.end(),
                                   [easy](const Post& p) { return p.Owns(easy); });
      if (it == transfers_.end()) continue;
      const int index = static_cast<int>(it - transfers_.begin());
      if (outcomes_ != nullptr) (*outcomes_)[index] = it->Outcome(msg->data.result, true);
      if (it->Answered()) {
        if (winner < 0 || index < winner) winner = index;
      } else {
        *failed = true;
      }
      it->Stop();
      --running_;
    }
    return winner;
  }

  // The next post is due at once: the one before it has failed.
  void Hurry() { next_start_ = Clock::now(); }

  // How long to wait for news of the running posts: until the next one is
  // due, or a second when none is left to start.
  int WaitMs() const {
    if (next_ >= posts_.size()) return 1000;
    const auto until = std::chrono::ceil<std::chrono::milliseconds>(next_start_ - Clock::now());
    return static_cast<int>(std::max<long>(0, static_cast<long>(until.count())));
  }

  // Fills in the posts still running as the race ends with `winner`.
  int Finish(int winner) {
    for (size_t i = 0; outcomes_ != nullptr && i < transfers_.size(); ++i)
      if (transfers_[i].Running()) (*outcomes_)[i] = transfers_[i].Outcome(CURLE_OK, false);
    return winner;
  }

 private:
  CURLM* multi_;
  const std::vector<PostRequest>& posts_;
  const std::chrono::milliseconds stagger_;
  std::vector<PostOutcome>* outcomes_;
  // Never resized: libcurl holds the addresses of each post's cursor and
  // answer.
  std::vector<Post> transfers_;
  size_t next_ = 0;
  int running_ = 0;
  Clock::time_point next_start_ = Clock::now();
};

}  // namespace

int RacePosts(const std::vector<PostRequest>& posts,
              std::chrono::milliseconds stagger, std::vector<PostOutcome>* outcomes) {
  if (outcomes != nullptr) outcomes->assign(posts.size(), PostOutcome());
  if (posts.empty()) return -1;
  curl_global_init(CURL_GLOBAL_ALL);
  MultiHandle multi(curl_multi_init());
  if (!multi) return -1;
  Race race(multi.get(), posts, stagger, outcomes);
  for (;;) {
    race.StartDue();
    if (!race.Running()) return race.Finish(-1);
    // Should libcurl fail as a whole, no post would ever report its end:
    // give up rather than wait for ever.
    int still_running = 0;
    if (curl_multi_perform(multi.get(), &still_running) != CURLM_OK) return race.Finish(-1);
    bool failed = false;
    const int winner = race.Reap(&failed);
    if (winner >= 0) return race.Finish(winner);  // the others stop as the posts go
    if (failed) {
      race.Hurry();
      continue;
    }
    if (curl_multi_poll(multi.get(), nullptr, 0, race.WaitMs(), nullptr) != CURLM_OK)
      return race.Finish(-1);
  }
}
