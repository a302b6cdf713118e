// vek-wineserver-wait: waits, without polling, until a wineserver serves the
// Wine prefix (`running`) or until none does (`stopped`), so that the bridges'
// services start the reader only while a Wine program runs, and never start
// Wine themselves. The command line and its statuses are told by --help.
//
// A prefix's wineserver listens on BASE/server-DEV-INODE/socket (the prefix
// folder's device and inode in hex) and holds a write lock on the `lock` file
// beside it for as long as it runs; the socket of one that was killed may
// stay. BASE is $TMPDIR (else /tmp) joined with the name in the prefix's
// `wineserver` file for Debian's Wine, /tmp/.wine-UID for upstream's. Both
// are watched: inotify on the deepest folder of each path that exists, and
// the lock holder's process through a pidfd.
#include <fcntl.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "cli/command_line.h"
#include "reading/output.h"

namespace {

constexpr char program[] = "vek-wineserver-wait";
constexpr int exit_timed_out = 3;

// A descriptor closed when it goes out of scope.
class descriptor {
 public:
  explicit descriptor(int fd = -1) : fd_(fd) {}
  descriptor(const descriptor&) = delete;
  descriptor& operator=(const descriptor&) = delete;
  ~descriptor() {
    if (fd_ >= 0) close(fd_);
  }
  int get() const { return fd_; }

 private:
  int fd_;
};

// Where wineservers of one prefix may listen, in both layouts.
class server_places {
 public:
  explicit server_places(std::string prefix) : prefix_(std::move(prefix)) {}

  const std::string& prefix() const { return prefix_; }

  // The server folders as of now; empty when the prefix cannot be read.
  std::vector<std::string> folders() const {
    struct stat prefix_stat;
    if (stat(prefix_.c_str(), &prefix_stat) != 0) return {};
    char leaf[64];
    std::snprintf(leaf, sizeof leaf, "/server-%llx-%llx", static_cast<unsigned long long>(prefix_stat.st_dev),
                  static_cast<unsigned long long>(prefix_stat.st_ino));
    std::vector<std::string> found;
    std::string name;
    if (std::ifstream file(prefix_ + "/wineserver"); file && std::getline(file, name) && !name.empty() && name != "." &&
                                                     name != ".." && name.find('/') == std::string::npos) {
      const char* tmp = std::getenv("TMPDIR");
      found.push_back(std::string(tmp && *tmp ? tmp : "/tmp") + "/" + name + leaf);
    }
    found.push_back("/tmp/.wine-" + std::to_string(getuid()) + leaf);
    return found;
  }

  // The process of a wineserver that serves the prefix now, or nothing.
  std::optional<pid_t> server() const {
    for (const std::string& folder : folders()) {
      struct stat socket_stat;
      if (lstat((folder + "/socket").c_str(), &socket_stat) != 0 || !S_ISSOCK(socket_stat.st_mode)) continue;
      const descriptor lock(open((folder + "/lock").c_str(), O_RDONLY | O_CLOEXEC));
      if (lock.get() < 0) continue;
      struct flock probe = {};
      probe.l_type = F_WRLCK;
      probe.l_whence = SEEK_SET;
      if (fcntl(lock.get(), F_GETLK, &probe) == 0 && probe.l_type != F_UNLCK && probe.l_pid > 0) return probe.l_pid;
    }
    return std::nullopt;
  }

  // The folders to watch so that every step towards a listening server shows
  // as an event: the prefix (its `wineserver` file) and, on each path, the
  // deepest folder that exists.
  std::set<std::string> watch_points() const {
    std::set<std::string> points{prefix_};
    for (std::string folder : folders()) {
      while (access(folder.c_str(), F_OK) != 0 && folder.size() > 1) folder.erase(folder.rfind('/'));
      points.insert(folder.empty() ? "/" : folder);
    }
    return points;
  }

 private:
  std::string prefix_;
};

// Waits until a wineserver serves the prefix. Returns false when inotify
// fails (the message is printed).
bool wait_running(const server_places& places, bool print_absent) {
  const descriptor events(inotify_init1(IN_CLOEXEC));
  if (events.get() < 0) {
    std::fprintf(stderr, "%s: inotify: %s\n", program, std::strerror(errno));
    return false;
  }
  // Debian's Wine writes the prefix's `wineserver` file after creating it.
  constexpr uint32_t path_mask = IN_CREATE | IN_MOVED_TO | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR;
  constexpr uint32_t prefix_mask = path_mask | IN_CLOSE_WRITE;
  std::map<std::string, int> watches;
  for (bool said = false;;) {
    // Watch first, then look: a step taken in between still shows as an
    // event. A folder made meanwhile moves the watch deeper, so look again.
    for (std::set<std::string> points = places.watch_points();;) {
      for (auto at = watches.begin(); at != watches.end();) {
        if (points.count(at->first)) {
          ++at;
        } else {
          inotify_rm_watch(events.get(), at->second);
          at = watches.erase(at);
        }
      }
      for (const std::string& point : points) {
        if (watches.count(point)) continue;
        const int watch =
            inotify_add_watch(events.get(), point.c_str(), point == places.prefix() ? prefix_mask : path_mask);
        if (watch >= 0) {
          watches.emplace(point, watch);
        } else if (errno != ENOENT && errno != ENOTDIR) {
          std::fprintf(stderr, "%s: cannot watch %s: %s\n", program, point.c_str(), std::strerror(errno));
          return false;
        }
      }
      std::set<std::string> now = places.watch_points();
      if (now == points) break;
      points = std::move(now);
    }
    if (places.server()) return true;
    if (print_absent && !said) {
      said = true;
      const std::string line =
          reading::render(reading::now_playing{reading::player_state::absent, {}, {}}, reading::output_format::json);
      if (std::printf("%s\n", line.c_str()) < 0 || std::fflush(stdout) != 0) {
        std::fprintf(stderr, "%s: cannot write to standard output: %s\n", program, std::strerror(errno));
        return false;
      }
    }
    // What happened does not matter, only what is there now.
    alignas(inotify_event) char buffer[4096];
    if (read(events.get(), buffer, sizeof buffer) < 0 && errno != EINTR) {
      std::fprintf(stderr, "%s: inotify: %s\n", program, std::strerror(errno));
      return false;
    }
  }
}

// Waits until no wineserver serves the prefix, or `limit` has passed:
// returns the exit status.
int wait_stopped(const server_places& places, std::optional<std::chrono::milliseconds> limit) {
  using clock = std::chrono::steady_clock;
  const auto until = limit ? clock::now() + *limit : clock::time_point::max();
  while (const std::optional<pid_t> server = places.server()) {
    const descriptor process(static_cast<int>(syscall(SYS_pidfd_open, *server, 0)));
    if (process.get() < 0) {
      if (errno == ESRCH) continue;  // it has just ended; another may have started
      std::fprintf(stderr, "%s: cannot wait for the wineserver (process %d): %s\n", program, static_cast<int>(*server),
                   std::strerror(errno));
      return cli::exit_failure;
    }
    int timeout = -1;
    if (limit) {
      const auto left = std::chrono::ceil<std::chrono::milliseconds>(until - clock::now()).count();
      if (left <= 0) return exit_timed_out;
      timeout = static_cast<int>(left);
    }
    pollfd ended = {process.get(), POLLIN, 0};
    if (poll(&ended, 1, timeout) == 0) return exit_timed_out;
  }
  return cli::exit_success;
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"", program};
  std::string until;
  app.add_option("UNTIL", until, "running or stopped")->required()->check(CLI::IsMember({"running", "stopped"}));
  std::string prefix;
  app.add_option("--prefix", prefix, "the Wine prefix (default $WINEPREFIX, else ~/.wine)");
  bool print_absent = false;
  app.add_flag("--print-absent", print_absent,
               "running: when it has to wait, first print the reader's line for no\n"
               "player, {\"state\":\"absent\"}, for a bridge fed from here");
  double timeout_seconds = 0;
  auto* timeout = app.add_option("--timeout", timeout_seconds, "stopped: wait at most SECONDS")
                      ->check(CLI::PositiveNumber)
                      ->type_name("SECONDS");
  cli::follow_convention(app,
                         "vek-wineserver-wait running [--print-absent] [--prefix DIR]\n       vek-wineserver-wait "
                         "stopped [--timeout SECONDS] [--prefix DIR]",
                         "Waits until a wineserver serves the Wine prefix (running) or until none does\n"
                         "(stopped), then exits; at once when that is already so. It watches the\n"
                         "server's socket and lock with inotify and the server's process: it never\n"
                         "polls and never starts Wine. The bridges' user services wait with it.",
                         "A wineserver serves the prefix while its socket exists and its lock is held:\n"
                         "$TMPDIR (else /tmp)/NAME/server-DEV-INODE, NAME read from the prefix's\n"
                         "wineserver file (Debian's Wine), or /tmp/.wine-UID/server-DEV-INODE\n"
                         "(upstream's). Start Wine programs of the prefix with the same TMPDIR.\n"
                         "Exit status: 0 done; 1 the prefix cannot be watched; 2 usage error;\n"
                         "3 stopped: the timeout passed first.\n");
  if (const auto status = cli::parse(app, argc, argv)) return *status;
  if (until == "running" && timeout->count()) return cli::usage_error(app, "--timeout goes with stopped");
  if (until == "stopped" && print_absent) return cli::usage_error(app, "--print-absent goes with running");
  if (prefix.empty()) {
    const char* wine_prefix = std::getenv("WINEPREFIX");
    const char* home = std::getenv("HOME");
    if (wine_prefix && *wine_prefix) {
      prefix = wine_prefix;
    } else if (home && *home) {
      prefix = std::string(home) + "/.wine";
    } else {
      return cli::usage_error(app, "neither --prefix, WINEPREFIX nor HOME is set");
    }
  }
  struct stat prefix_stat;
  if (stat(prefix.c_str(), &prefix_stat) != 0 || !S_ISDIR(prefix_stat.st_mode)) {
    std::fprintf(stderr, "%s: the Wine prefix %s is not a folder\n", program, prefix.c_str());
    return cli::exit_failure;
  }
  const server_places places(prefix);
  if (until == "running") return wait_running(places, print_absent) ? cli::exit_success : cli::exit_failure;
  const auto limit = timeout->count()
                         ? std::optional(std::chrono::milliseconds(static_cast<long long>(timeout_seconds * 1000)))
                         : std::nullopt;
  return wait_stopped(places, limit);
}
