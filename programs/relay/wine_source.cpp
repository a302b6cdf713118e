#include "relay/wine_source.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <system_error>
#include <utility>

extern char** environ;

namespace relay {
namespace {

bool readable(int fd) {
  pollfd watched{fd, POLLIN, 0};
  return poll(&watched, 1, 0) > 0 && (watched.revents & (POLLIN | POLLHUP | POLLERR)) != 0;
}

std::string describe_end(int wait_status) {
  if (WIFEXITED(wait_status)) return "ended with status " + std::to_string(WEXITSTATUS(wait_status));
  if (WIFSIGNALED(wait_status))
    return "was killed by signal " + std::to_string(WTERMSIG(wait_status)) + " (" + strsignal(WTERMSIG(wait_status)) +
           ")";
  return "ended";
}

std::string seconds_text(clock::duration delay) {
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(delay).count();
  char text[32];
  std::snprintf(text, sizeof text, "%g s", static_cast<double>(ms) / 1000);
  return text;
}

}  // namespace

// The reader as a child: its process (reaped here), a pidfd that tells its
// end, and its standard output.
struct wine_source::running_reader {
  pid_t pid = -1;
  wine_prefix::descriptor ended;
  wine_prefix::descriptor output;
  std::optional<reading::state_input> lines;
  bool output_open = true;  // until the pipe's end: then only the process is waited on
  bool interrupted = false;
  clock::time_point kill_at = clock::time_point::max();
  std::optional<int> wait_status;  // once reaped

  ~running_reader() {
    if (wait_status || pid < 0) return;
    // Never left running nor a zombie: interrupted, then killed.
    kill(pid, SIGINT);
    pollfd end{ended.get(), POLLIN, 0};
    if (ended.get() < 0 || poll(&end, 1, 1000) <= 0) kill(pid, SIGKILL);
    int status;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
  }
};

wine_source::wine_source(std::string_view program, wine_settings settings)
    : program_(program), settings_(std::move(settings)), places_(settings_.prefix) {
  setenv("WINEPREFIX", settings_.prefix.c_str(), 1);
}

wine_source::~wine_source() = default;

bool wine_source::start_reader() {
  auto started = std::make_unique<running_reader>();
  int pipe_ends[2];
  if (pipe2(pipe_ends, O_CLOEXEC) != 0) {
    say(program_, std::string("cannot run the reader: pipe: ") + std::strerror(errno));
    return false;
  }
  started->output.reset(pipe_ends[0]);
  const wine_prefix::descriptor write_end(pipe_ends[1]);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, write_end.get(), STDOUT_FILENO);
  // Nothing of the relay's (its server connection, the bus) reaches Wine.
  posix_spawn_file_actions_addclosefrom_np(&actions, STDERR_FILENO + 1);
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  sigset_t none, defaults;
  sigemptyset(&none);
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGINT);
  sigaddset(&defaults, SIGTERM);
  sigaddset(&defaults, SIGPIPE);
  // The loop blocks SIGINT and SIGTERM and a relay ignores SIGPIPE; the reader
  // must get them as a program does.
  posix_spawnattr_setsigmask(&attributes, &none);
  posix_spawnattr_setsigdefault(&attributes, &defaults);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
  std::string wine = settings_.wine, reader = settings_.reader;
  char watch[] = "--watch", until_idle[] = "--until-prefix-idle";
  char* arguments[] = {wine.data(), reader.data(), watch, until_idle, nullptr};
  const int failed = posix_spawnp(&started->pid, wine.c_str(), &actions, &attributes, arguments, environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  if (failed != 0) {
    started->pid = -1;
    say(program_, "cannot run " + settings_.wine + ": " + std::strerror(failed));
    return false;
  }
  try {
    auto ended = wine_prefix::watch_process_end(started->pid);
    if (ended) started->ended = std::move(*ended);
  } catch (const std::system_error& error) {
    say(program_, std::string("cannot watch the reader: ") + error.what());
    return false;  // the destructor ends it
  }
  started->lines.emplace(
      started->output.get(), [this](const std::string& text) { say(program_, "from the reader: " + text); },
      "its output");
  reader_ = std::move(started);
  return true;
}

bool wine_source::read_reader(const std::function<void(const reading::now_playing&)>& take) {
  running_reader& child = *reader_;
  const bool ended = child.ended.get() < 0 || readable(child.ended.get());
  // What it wrote before it ended is in the pipe; Wine's helpers may hold the
  // pipe open after it, so its end is the process's, not the pipe's.
  if (child.output_open)
    child.output_open = child.lines->read(true, [&](const reading::now_playing& state) {
      absent_handed_on_ = state.state == reading::player_state::absent;
      take(state);
    });
  if (!ended) return false;
  int status = 0;
  while (waitpid(child.pid, &status, 0) < 0) {
    if (errno != EINTR) break;
  }
  child.wait_status = status;
  return true;
}

void wine_source::watch_server_end() {
  while (!server_end_) {
    const std::optional<pid_t> server = places_.server();
    if (!server) return;
    server_end_ = wine_prefix::watch_process_end(*server);  // nothing: it has just ended; look again
  }
}

source::progress wine_source::turn(bool ending, wait_list& wait,
                                   const std::function<void(const reading::now_playing&)>& take) {
  using step = wine_prefix::reader_schedule::step;
  const auto hand_on_absent = [&] {
    if (absent_handed_on_) return;
    absent_handed_on_ = true;
    take(reading::now_playing{reading::player_state::absent, {}, {}});
  };
  try {
    for (;;) {
      const clock::time_point now = clock::now();
      if (reader_) {
        if (read_reader(take)) {
          const int status = *reader_->wait_status;
          const bool idle = WIFEXITED(status) && WEXITSTATUS(status) == 0;
          reader_.reset();
          if (ending) return progress::ended;
          schedule_.reader_ended(now, idle);
          if (!idle)
            say(program_, "the reader " + describe_end(status) + "; it runs again in " +
                              seconds_text(schedule_.until() - now) + " if Wine still runs");
          continue;
        }
        if (ending) {
          if (!reader_->interrupted) {
            // Wine turns SIGINT into Ctrl+C, which ends the reader's watch.
            kill(reader_->pid, SIGINT);
            reader_->interrupted = true;
            reader_->kill_at = now + interrupt_time;
          } else if (now >= reader_->kill_at) {
            kill(reader_->pid, SIGKILL);
            reader_->kill_at = clock::time_point::max();
          }
          wait.until(reader_->kill_at);
        }
        wait.watch(reader_->ended.get(), POLLIN);
        if (reader_->output_open) wait.watch(reader_->output.get(), POLLIN);
        return progress::going;
      }
      if (ending) return progress::ended;

      switch (schedule_.next()) {
        case step::wait_for_server:
          server_end_.reset();
          if (!start_watch_) {
            start_watch_.emplace(places_);
          } else {
            start_watch_->rearm();
          }
          if (places_.server()) {
            schedule_.server_running(now);
            continue;
          }
          hand_on_absent();
          wait.watch(start_watch_->fd(), POLLIN);
          return progress::going;
        case step::run_reader:
          start_watch_.reset();
          server_end_.reset();
          if (!start_reader()) {
            schedule_.reader_started(now);
            schedule_.reader_ended(now, false);
            continue;
          }
          schedule_.reader_started(now);
          continue;
        case step::reading:
          // The reader was reaped above; the schedule hears of it there.
          schedule_.reader_ended(now, false);
          continue;
        case step::wait_for_server_end:
        case step::wait_to_restart:
          if (server_end_ && readable(server_end_->get())) server_end_.reset();
          watch_server_end();
          if (!server_end_) {
            schedule_.server_gone();
            continue;
          }
          if (now >= schedule_.until()) {
            server_end_.reset();
            if (schedule_.next() == step::wait_for_server_end) {
              schedule_.server_outlived_linger(now);
            } else {
              schedule_.server_running(now);
            }
            continue;
          }
          wait.watch(server_end_->get(), POLLIN);
          wait.until(schedule_.until());
          return progress::going;
      }
    }
  } catch (const std::system_error& error) {
    say(program_, error.what());
    return progress::failed;
  }
}

}  // namespace relay
