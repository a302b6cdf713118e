// Whether a wineserver serves a Wine prefix, seen without Wine and without
// polling (Linux only). A prefix's wineserver listens on
// BASE/server-DEV-INODE/socket (the prefix folder's device and inode in hex)
// and holds a write lock on the `lock` file beside it for as long as it runs;
// the socket of one that was killed may stay. BASE is $TMPDIR (else /tmp)
// joined with the name in the prefix's `wineserver` file for Debian's Wine,
// and /tmp/.wine-UID for upstream's; both are looked at.
#pragma once

#include <sys/types.h>

#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace wine_prefix {

// A descriptor closed when it goes out of scope.
class descriptor {
 public:
  explicit descriptor(int fd = -1) : fd_(fd) {}
  descriptor(descriptor&& other) noexcept : fd_(other.release()) {}
  descriptor& operator=(descriptor&& other) noexcept;
  descriptor(const descriptor&) = delete;
  descriptor& operator=(const descriptor&) = delete;
  ~descriptor() { reset(); }
  int get() const { return fd_; }
  int release() {
    const int fd = fd_;
    fd_ = -1;
    return fd;
  }
  void reset(int fd = -1);

 private:
  int fd_;
};

// Where wineservers of one prefix may listen, in both layouts.
class server_places {
 public:
  explicit server_places(std::string prefix) : prefix_(std::move(prefix)) {}

  const std::string& prefix() const { return prefix_; }
  // The server folders as of now; empty when the prefix cannot be read.
  std::vector<std::string> folders() const;
  // The process of a wineserver that serves the prefix now, or nothing.
  std::optional<pid_t> server() const;
  // The folders to watch so that every step towards a listening server shows
  // as an event: the prefix (its `wineserver` file) and, on each path, the
  // deepest folder that exists.
  std::set<std::string> watch_points() const;

 private:
  std::string prefix_;
};

// Tells, through one descriptor that becomes readable, that a wineserver may
// have started to serve the prefix. Owns an inotify instance.
class server_start_watch {
 public:
  // Throws std::system_error when inotify cannot be had.
  explicit server_start_watch(const server_places& places);

  int fd() const { return events_.get(); }
  // Takes the events that arrived and follows the folders made or removed
  // meanwhile; then server_places::server() tells what is there now. The
  // watches are always set before the look, so a step taken in between still
  // shows as an event. Throws std::system_error when a folder that exists
  // cannot be watched.
  void rearm();

 private:
  const server_places& places_;
  descriptor events_;
  std::map<std::string, int> watches_;
};

// A descriptor that becomes readable when the process ends (a pidfd), or
// nothing when it has ended already. Throws std::system_error otherwise.
std::optional<descriptor> watch_process_end(pid_t process);

}  // namespace wine_prefix
