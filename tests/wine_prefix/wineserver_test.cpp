// How a prefix's wineserver is seen, against a process that does what
// wineserver does on start (its folder, its lock held, its socket bound) in
// both layouts. The real wineserver is met by the service scenarios.
#include "wine_prefix/wineserver.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>

extern char** environ;

namespace {

namespace fs = std::filesystem;
using wine_prefix::server_places;

constexpr char server_script[] = R"(
import fcntl, os, socket, sys, time
os.makedirs(sys.argv[1], mode=0o700, exist_ok=True)
lock = os.open(sys.argv[1] + "/lock", os.O_CREAT | os.O_WRONLY, 0o600)
fcntl.lockf(lock, fcntl.LOCK_EX | fcntl.LOCK_NB, 1)
path = sys.argv[1] + "/socket"
if os.path.exists(path): os.unlink(path)
socket.socket(socket.AF_UNIX).bind(path)
time.sleep(3600)
)";

bool readable_within(int fd, int ms) {
  pollfd watched{fd, POLLIN, 0};
  return poll(&watched, 1, ms) > 0;
}

class wineserver_test : public ::testing::Test {
 protected:
  void SetUp() override {
    char folder[] = "/tmp/vek-wineserver-test.XXXXXX";
    ASSERT_NE(mkdtemp(folder), nullptr);
    work_ = folder;
    prefix_ = work_ / "prefix";
    fs::create_directory(prefix_);
  }
  void TearDown() override {
    stop_server();
    if (!upstream_folder_.empty()) fs::remove_all(upstream_folder_);
    fs::remove_all(work_);
  }

  // What wineserver does, in `folder`.
  void start_server(const fs::path& folder) {
    std::string python = "python3", dash_c = "-c", script = server_script, where = folder.string();
    char* arguments[] = {python.data(), dash_c.data(), script.data(), where.data(), nullptr};
    ASSERT_EQ(posix_spawnp(&server_, "python3", nullptr, nullptr, arguments, environ), 0);
  }
  void stop_server() {
    if (server_ <= 0) return;
    kill(server_, SIGKILL);
    waitpid(server_, nullptr, 0);
    server_ = -1;
  }

  // The server folder in upstream Wine's layout.
  fs::path upstream_folder() {
    struct stat info {};
    stat(prefix_.c_str(), &info);
    char leaf[64];
    std::snprintf(leaf, sizeof leaf, "server-%llx-%llx", static_cast<unsigned long long>(info.st_dev),
                  static_cast<unsigned long long>(info.st_ino));
    upstream_folder_ = fs::path("/tmp/.wine-" + std::to_string(getuid())) / leaf;
    return upstream_folder_;
  }

  // Waits as a relay does: the watch's descriptor, then a look.
  std::optional<pid_t> seen_within(wine_prefix::server_start_watch& watch, std::chrono::seconds limit,
                                   const server_places& places) {
    const auto until = std::chrono::steady_clock::now() + limit;
    for (;;) {
      watch.rearm();
      if (auto server = places.server()) return server;
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - std::chrono::steady_clock::now());
      if (left.count() <= 0 || !readable_within(watch.fd(), static_cast<int>(left.count()))) return std::nullopt;
    }
  }

  fs::path work_, prefix_, upstream_folder_;
  pid_t server_ = -1;
};

TEST_F(wineserver_test, upstream_layout_start_end_and_the_socket_a_killed_server_leaves) {
  const server_places places(prefix_.string());
  EXPECT_FALSE(places.server());
  wine_prefix::server_start_watch watch(places);
  // The watch is set before the server starts, as the relay sets it: the
  // folders made meanwhile move it deeper.
  start_server(upstream_folder());
  const auto seen = seen_within(watch, std::chrono::seconds(10), places);
  ASSERT_TRUE(seen) << "the server's start was not seen";
  EXPECT_EQ(*seen, server_);

  auto ended = wine_prefix::watch_process_end(*seen);
  ASSERT_TRUE(ended);
  EXPECT_FALSE(readable_within(ended->get(), 200)) << "the server runs";
  kill(server_, SIGKILL);
  EXPECT_TRUE(readable_within(ended->get(), 5000)) << "its end was not seen";
  waitpid(server_, nullptr, 0);
  server_ = -1;
  ASSERT_TRUE(fs::exists(upstream_folder_ / "socket")) << "the stale case is not met";
  EXPECT_FALSE(places.server()) << "a socket without a held lock is no server";

  // The next server in the same folder is seen.
  wine_prefix::server_start_watch again(places);
  start_server(upstream_folder_);
  EXPECT_TRUE(seen_within(again, std::chrono::seconds(10), places));
}

TEST_F(wineserver_test, debian_layout_follows_the_prefix_name_file_and_tmpdir) {
  const fs::path tmp = work_ / "tmp";
  fs::create_directory(tmp);
  const char* old_tmpdir = std::getenv("TMPDIR");
  const std::string saved = old_tmpdir ? old_tmpdir : "";
  setenv("TMPDIR", tmp.c_str(), 1);
  const server_places places(prefix_.string());
  wine_prefix::server_start_watch watch(places);
  // Debian's Wine names its folder in the prefix after making it.
  std::ofstream(prefix_ / "wineserver") << "wine-test\n";
  const fs::path folder = tmp / "wine-test" / upstream_folder().filename();
  upstream_folder_.clear();
  start_server(folder);
  EXPECT_TRUE(seen_within(watch, std::chrono::seconds(10), places));
  if (old_tmpdir) {
    setenv("TMPDIR", saved.c_str(), 1);
  } else {
    unsetenv("TMPDIR");
  }
}

}  // namespace
