// When to publish: only changes, at most one publish per interval, always
// ending on the latest state; after a reconnection the current state once,
// never what passed while the link was down. Pure logic over a clock the
// caller reads, so that it can be tested without waiting.
#pragma once

#include <chrono>
#include <optional>
#include <string>

namespace tune_publish {

using steady_clock = std::chrono::steady_clock;

class publish_pacer {
 public:
  explicit publish_pacer(steady_clock::duration min_interval = std::chrono::seconds(1)) : min_interval_(min_interval) {}

  // The payload of the latest state; replaces any that was waiting.
  void offer(std::string payload);
  // A new session, logged in at `now`: the server's item may be anything, so
  // the latest state is due again (and nothing older), once the session has
  // settled. Our presence makes the server ask the contacts for theirs, and
  // ejabberd notifies only the contacts whose answer has reached the session.
  void session_started(steady_clock::time_point now) {
    published_.reset();
    settled_at_ = now + settling_time;
  }
  static constexpr steady_clock::duration settling_time = std::chrono::seconds(1);
  // The server ended the session over the last payload taken (a stanza too
  // big for it): it is not offered to the server again, even in a new
  // session, so that it is never sent in a loop. A new state is.
  void refuse_last_taken() { refused_ = published_; }

  // The payload to publish at `now`, marked as published, or nothing when
  // there is no change or the interval since the last publish has not passed.
  std::optional<std::string> take_due(steady_clock::time_point now);
  // The last publish, which does not wait for the interval: the payload,
  // marked as published, or nothing when it is what the server has already.
  std::optional<std::string> take_final(std::string payload);
  // When take_due will have something without a new offer, if it is waiting.
  std::optional<steady_clock::time_point> next_due() const;

 private:
  bool has_change() const { return latest_ && latest_ != published_ && latest_ != refused_; }

  steady_clock::duration min_interval_;
  std::optional<std::string> latest_;
  std::optional<std::string> published_;
  std::optional<std::string> refused_;
  std::optional<steady_clock::time_point> last_publish_;
  steady_clock::time_point settled_at_ = steady_clock::time_point::min();
};

// Delays between connection attempts: 1 s, doubling to at most 60 s. They
// start over only after a session that lived `proving_time`: a server that
// takes the login and then drops the session at once (a stanza it will not
// take, a relay in the way) is a failure like any other, or the account
// would log in every second.
class reconnect_backoff {
 public:
  explicit reconnect_backoff(steady_clock::duration proving_time = std::chrono::minutes(1))
      : proving_time_(proving_time) {}
  steady_clock::duration next();
  // A session (logged in) ended after `lived`.
  void session_ended(steady_clock::duration lived) {
    if (lived >= proving_time_) next_ = first;
  }

 private:
  static constexpr steady_clock::duration first = std::chrono::seconds(1);
  static constexpr steady_clock::duration longest = std::chrono::seconds(60);
  steady_clock::duration proving_time_;
  steady_clock::duration next_ = first;
};

}  // namespace tune_publish
