#include "relay/loop.h"

#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <exception>
#include <stdexcept>

namespace relay {
namespace {

// SIGINT and SIGTERM, blocked for the process, as a descriptor to wait on:
// the relay then ends in order instead of being cut off. Children unblock them.
int end_signals_descriptor() {
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  sigprocmask(SIG_BLOCK, &signals, nullptr);
  return signalfd(-1, &signals, SFD_NONBLOCK | SFD_CLOEXEC);
}

// Milliseconds for poll(2) until `until`, rounded up: waking before a
// deadline would only spin until it. -1 for no deadline.
int poll_timeout(clock::time_point until) {
  if (until == clock::time_point::max()) return -1;
  const auto left =
      std::chrono::ceil<std::chrono::milliseconds>(std::max(until - clock::now(), clock::duration::zero()));
  return static_cast<int>(std::min<std::chrono::milliseconds::rep>(left.count(), INT_MAX));
}

}  // namespace

void wait_list::watch(int fd, short events) {
  if (fd < 0) return;
  if (count_ == most) throw std::length_error("relay::wait_list: more than 8 descriptors");
  descriptors_[count_++] = {fd, events, 0};
}

input_source::input_source(std::string_view program, bool chunked)
    : chunked_(chunked),
      lines_(STDIN_FILENO, [program = std::string(program)](const std::string& text) { say(program, text); }) {}

source::progress input_source::turn(bool ending, wait_list& wait,
                                    const std::function<void(const reading::now_playing&)>& take) {
  if (ending || !open_) return progress::ended;
  open_ = lines_.read(!chunked_, take);
  if (!open_) return progress::ended;
  wait.watch(STDIN_FILENO, POLLIN);
  return progress::going;
}

int run(std::string_view program, source& from, destination& to, service_status& status) {
  const int signal_fd = end_signals_descriptor();
  if (signal_fd < 0) {
    say(program, std::string("cannot watch for signals: ") + std::strerror(errno));
    return 1;
  }
  // Closed however the loop ends: a destination's failure may leave it by an exception.
  struct closer {
    int fd;
    ~closer() { close(fd); }
  } signal_guard{signal_fd};
  const std::function<void(const reading::now_playing&)> take = [&](const reading::now_playing& state) {
    status.show(state);
    to.take(state);
  };
  bool ending = false, source_done = false, source_failed = false;
  std::optional<int> result;
  for (;;) {
    wait_list wait;
    wait.watch(signal_fd, POLLIN);
    if (!source_done) {
      const source::progress progress = from.turn(ending, wait, take);
      if (progress != source::progress::going) {
        source_done = true;
        source_failed = progress == source::progress::failed;
        ending = true;
      }
    }
    if (ending) status.stopping();
    if (!result) {
      result = to.turn(ending, wait);
      if (result && !source_done) {
        // The source winds down before the relay ends.
        ending = true;
        status.stopping();
        continue;
      }
    }
    if (result && source_done) return source_failed && *result == 0 ? 1 : *result;
    // Ready once both have started: the first status says what each does.
    status.ready();
    if (poll(wait.descriptors(), wait.count(), poll_timeout(wait.deadline())) < 0 && errno != EINTR) {
      say(program, std::string("cannot wait: ") + std::strerror(errno));
      return 1;
    }
    signalfd_siginfo received;
    if (read(signal_fd, &received, sizeof received) == sizeof received) ending = true;
  }
}

int run_reporting_failure(std::string_view program, const std::function<int()>& body) {
  try {
    return body();
  } catch (const std::exception& error) {
    say(program, std::string("failed: ") + error.what());
    return 1;
  }
}

void say(std::string_view program, std::string_view text) {
  std::fprintf(stderr, "%.*s: %.*s\n", static_cast<int>(program.size()), program.data(), static_cast<int>(text.size()),
               text.data());
}

std::string clock_time() {
  const std::time_t now = std::time(nullptr);
  char text[16];
  std::strftime(text, sizeof text, "%H:%M:%S", std::localtime(&now));
  return text;
}

}  // namespace relay
