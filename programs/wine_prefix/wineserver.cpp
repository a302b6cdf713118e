#include "wine_prefix/wineserver.h"

#include <fcntl.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <system_error>

namespace wine_prefix {

descriptor& descriptor::operator=(descriptor&& other) noexcept {
  if (this != &other) reset(other.release());
  return *this;
}

void descriptor::reset(int fd) {
  if (fd_ >= 0) close(fd_);
  fd_ = fd;
}

std::vector<std::string> server_places::folders() const {
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

std::optional<pid_t> server_places::server() const {
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

std::set<std::string> server_places::watch_points() const {
  std::set<std::string> points{prefix_};
  for (std::string folder : folders()) {
    while (access(folder.c_str(), F_OK) != 0 && folder.size() > 1) folder.erase(folder.rfind('/'));
    points.insert(folder.empty() ? "/" : folder);
  }
  return points;
}

server_start_watch::server_start_watch(const server_places& places)
    : places_(places), events_(inotify_init1(IN_CLOEXEC | IN_NONBLOCK)) {
  if (events_.get() < 0) throw std::system_error(errno, std::generic_category(), "inotify");
  rearm();
}

void server_start_watch::rearm() {
  // What happened does not matter, only what is there now.
  alignas(inotify_event) char buffer[4096];
  while (read(events_.get(), buffer, sizeof buffer) > 0) {
  }
  // Debian's Wine writes the prefix's `wineserver` file after creating it.
  constexpr uint32_t path_mask = IN_CREATE | IN_MOVED_TO | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR;
  constexpr uint32_t prefix_mask = path_mask | IN_CLOSE_WRITE;
  // A folder made meanwhile moves the watch deeper, so look again.
  for (std::set<std::string> points = places_.watch_points();;) {
    for (auto at = watches_.begin(); at != watches_.end();) {
      if (points.count(at->first)) {
        ++at;
      } else {
        inotify_rm_watch(events_.get(), at->second);
        at = watches_.erase(at);
      }
    }
    for (const std::string& point : points) {
      if (watches_.count(point)) continue;
      const int watch =
          inotify_add_watch(events_.get(), point.c_str(), point == places_.prefix() ? prefix_mask : path_mask);
      if (watch >= 0) {
        watches_.emplace(point, watch);
      } else if (errno != ENOENT && errno != ENOTDIR) {
        throw std::system_error(errno, std::generic_category(), "cannot watch " + point);
      }
    }
    std::set<std::string> now = places_.watch_points();
    if (now == points) return;
    points = std::move(now);
  }
}

std::optional<descriptor> watch_process_end(pid_t process) {
  descriptor ended(static_cast<int>(syscall(SYS_pidfd_open, process, 0)));
  if (ended.get() >= 0) return ended;
  if (errno == ESRCH) return std::nullopt;
  throw std::system_error(errno, std::generic_category(),
                          "cannot wait for the wineserver (process " + std::to_string(process) + ")");
}

}  // namespace wine_prefix
