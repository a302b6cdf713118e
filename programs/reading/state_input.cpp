#include "reading/state_input.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>
#include <variant>

#include "reading/state_line.h"

namespace reading {
namespace {

constexpr std::size_t longest_line = 16 << 20;

}  // namespace

state_input::state_input(int fd, reporter report, std::string name)
    : fd_(fd), name_(std::move(name)), report_(std::move(report)) {
  fcntl(fd_, F_SETFL, fcntl(fd_, F_GETFL) | O_NONBLOCK);
}

bool state_input::read(bool drain, const state_handler& on_state) {
  char chunk[65536];
  for (;;) {
    const ssize_t got = ::read(fd_, chunk, sizeof chunk);
    if (got > 0) {
      take(std::string_view(chunk, static_cast<std::size_t>(got)), on_state);
      if (drain) continue;
      return true;
    }
    if (got < 0 && errno == EINTR) continue;
    if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return true;
    if (got < 0) report_("cannot read " + name_ + ": " + std::strerror(errno));
    if (!pending_.empty() || overlong_) {
      ++line_number_;
      hand_on(pending_, on_state);
    }
    pending_.clear();
    return false;
  }
}

void state_input::take(std::string_view data, const state_handler& on_state) {
  while (!data.empty()) {
    const auto end = data.find('\n');
    const std::string_view part = data.substr(0, end);
    if (!overlong_) {
      if (pending_.size() + part.size() > longest_line) {
        overlong_ = true;
        pending_.clear();
      } else {
        pending_.append(part);
      }
    }
    if (end == data.npos) return;
    ++line_number_;
    hand_on(pending_, on_state);
    pending_.clear();
    overlong_ = false;
    data.remove_prefix(end + 1);
  }
}

void state_input::hand_on(std::string_view line, const state_handler& on_state) {
  const auto skip = [&](const std::string& reason) {
    report_("line " + std::to_string(line_number_) + ": malformed input (" + reason + "); skipped");
  };
  if (overlong_) return skip("longer than 16 MiB");
  if (line.empty() || line == "\r") return;
  const auto parsed = parse_state_line(line);
  if (const auto* bad = std::get_if<malformed_line>(&parsed)) return skip(bad->reason);
  on_state(std::get<now_playing>(parsed));
}

}  // namespace reading
