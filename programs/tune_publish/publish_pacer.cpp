#include "tune_publish/publish_pacer.h"

#include <algorithm>
#include <utility>

namespace tune_publish {

void publish_pacer::offer(std::string payload) { latest_ = std::move(payload); }

std::optional<std::string> publish_pacer::take_due(steady_clock::time_point now) {
  if (!has_change() || now < settled_at_ || (last_publish_ && now - *last_publish_ < min_interval_))
    return std::nullopt;
  published_ = latest_;
  last_publish_ = now;
  return latest_;
}

std::optional<std::string> publish_pacer::take_final(std::string payload) {
  latest_ = std::move(payload);
  if (!has_change()) return std::nullopt;
  published_ = latest_;
  return latest_;
}

std::optional<steady_clock::time_point> publish_pacer::next_due() const {
  if (!has_change()) return std::nullopt;
  return std::max(settled_at_, last_publish_ ? *last_publish_ + min_interval_ : steady_clock::time_point::min());
}

steady_clock::duration reconnect_backoff::next() {
  const steady_clock::duration delay = next_;
  next_ = std::min(next_ * 2, longest);
  return delay;
}

}  // namespace tune_publish
