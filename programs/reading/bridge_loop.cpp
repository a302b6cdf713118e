#include "reading/bridge_loop.h"

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
#include <memory>

#include "reading/state_input.h"

namespace reading {
namespace {

// SIGINT and SIGTERM, blocked for the process, as a descriptor to wait on:
// the bridge then ends in order instead of being cut off.
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
int poll_timeout(bridge::clock::time_point until) {
  if (until == bridge::clock::time_point::max()) return -1;
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(
      std::max(until - bridge::clock::now(), bridge::clock::duration::zero()));
  return static_cast<int>(std::min<std::chrono::milliseconds::rep>(left.count(), INT_MAX));
}

}  // namespace

int run_bridge(std::string_view program, bridge& bridge, input_pace pace) {
  const int signal_fd = end_signals_descriptor();
  if (signal_fd < 0) {
    say(program, std::string("cannot watch for signals: ") + std::strerror(errno));
    return 1;
  }
  // Closed however the loop ends: a bridge's failure may leave it by an exception.
  const std::unique_ptr<const int, void (*)(const int*)> signal_guard(&signal_fd, [](const int* fd) { close(*fd); });
  state_input input(
      STDIN_FILENO, [&bridge](const now_playing& state) { bridge.take(state); },
      [program](const std::string& text) { say(program, text); });
  bool input_open = true, ending = false;
  for (;;) {
    auto next = bridge.turn(ending);
    if (const int* status = std::get_if<int>(&next)) return *status;
    const auto& wait = std::get<bridge::wait>(next);
    pollfd watched[4] = {
        {signal_fd, POLLIN, 0}, {input_open ? STDIN_FILENO : -1, POLLIN, 0}, wait.descriptors[0], wait.descriptors[1]};
    if (poll(watched, 4, poll_timeout(wait.until)) < 0 && errno != EINTR) {
      say(program, std::string("cannot wait for input: ") + std::strerror(errno));
      return 1;
    }
    signalfd_siginfo received;
    if (read(signal_fd, &received, sizeof received) == sizeof received) ending = true;
    if (!ending && input_open && (watched[1].revents & (POLLIN | POLLHUP | POLLERR))) {
      input_open = input.read(pace == input_pace::drain);
      if (!input_open) ending = true;
    }
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

}  // namespace reading
