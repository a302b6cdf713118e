#include "wine_prefix/lifecycle.h"

#include <algorithm>

namespace wine_prefix {

bool idle_watch::idle_long_enough(clock::time_point now, bool busy) {
  if (busy) {
    idle_since_ = clock::time_point::max();
    return false;
  }
  if (idle_since_ == clock::time_point::max()) idle_since_ = now;
  return now - idle_since_ >= idle_time;
}

void reader_schedule::server_running(clock::time_point) {
  if (next_ == step::wait_for_server || next_ == step::wait_to_restart) {
    next_ = step::run_reader;
    until_ = clock::time_point::max();
  }
}

void reader_schedule::server_gone() {
  if (next_ == step::wait_for_server_end) linger_ = first_linger;
  next_ = step::wait_for_server;
  until_ = clock::time_point::max();
}

void reader_schedule::reader_started(clock::time_point now) {
  reader_start_ = now;
  next_ = step::reading;
  until_ = clock::time_point::max();
}

void reader_schedule::reader_ended(clock::time_point now, bool idle) {
  if (idle) {
    next_ = step::wait_for_server_end;
    until_ = now + linger_;
    return;
  }
  if (now - reader_start_ >= steady_run || restart_delay_ == clock::duration::zero()) {
    restart_delay_ = first_restart_delay;
  } else {
    restart_delay_ = std::min<clock::duration>(restart_delay_ * 2, longest_restart_delay);
  }
  next_ = step::wait_to_restart;
  until_ = now + restart_delay_;
}

void reader_schedule::server_outlived_linger(clock::time_point) {
  linger_ = std::min<clock::duration>(linger_ * 2, longest_linger);
  next_ = step::run_reader;
  until_ = clock::time_point::max();
}

}  // namespace wine_prefix
