// The relays' loop with a source and a destination of the test's own, and
// what a relay tells systemd, read from a real notify socket.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "relay/loop.h"
#include "relay/service_status.h"

namespace {

using reading::now_playing;
using reading::player_state;

now_playing playing(std::vector<std::pair<std::string, std::string>> fields) {
  return now_playing{player_state::playing, std::move(fields), "215"};
}

TEST(relay_status, what_is_shown_in_one_readable_line) {
  EXPECT_EQ(relay::shown_text(playing({{"ARTIST", "Band"}, {"title", "Song"}})), "Playing: Band \u2013 Song");
  EXPECT_EQ(relay::shown_text(playing({{"title", "Song"}, {"artist", ""}})), "Playing: Song");
  EXPECT_EQ(relay::shown_text(playing({{"album", "Only"}})), "Playing");
  EXPECT_EQ(relay::shown_text(playing({{"title", "Two\nlines\x01"}})), "Playing: Two lines ");
  EXPECT_EQ(relay::shown_text(playing({{"title", "bad \xff byte"}})), "Playing: bad \uFFFD byte");
  const std::string cut = relay::shown_text(playing({{"title", std::string(119, 'x') + "\u00e9\u00e9"}}));
  EXPECT_EQ(cut, "Playing: " + std::string(119, 'x') + "\u2026") << "cut before a character it would split";
  EXPECT_EQ(relay::shown_text(now_playing{player_state::stopped, {}, {}}), "Stopped");
  EXPECT_EQ(relay::shown_text(now_playing{}), "Nothing played yet");
  EXPECT_EQ(relay::shown_text(now_playing{player_state::absent, {}, {}}), "Player not running");
}

// A notify socket as systemd's: datagrams on a socket named by NOTIFY_SOCKET.
class notify_socket {
 public:
  notify_socket() {
    fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    path_ = "/tmp/vek-relay-notify." + std::to_string(getpid());
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    path_.copy(address.sun_path, sizeof address.sun_path - 1);
    unlink(path_.c_str());
    EXPECT_EQ(bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    setenv("NOTIFY_SOCKET", path_.c_str(), 1);
  }
  ~notify_socket() {
    unsetenv("NOTIFY_SOCKET");
    close(fd_);
    unlink(path_.c_str());
  }
  std::vector<std::string> received() {
    std::vector<std::string> all;
    char buffer[4096];
    for (ssize_t got; (got = recv(fd_, buffer, sizeof buffer, 0)) > 0;) all.emplace_back(buffer, got);
    return all;
  }

 private:
  int fd_;
  std::string path_;
};

// States handed on one per turn, then the end of its input.
class listed_source final : public relay::source {
 public:
  explicit listed_source(std::vector<now_playing> states) : states_(std::move(states)) {}
  progress turn(bool ending, relay::wait_list& wait, const std::function<void(const now_playing&)>& take) override {
    if (ending) return progress::ended;
    if (next_ == states_.size()) return failing_ ? progress::failed : progress::ended;
    take(states_[next_++]);
    wait.until(relay::clock::now());
    return progress::going;
  }
  bool failing_ = false;
  bool ending_seen_ = false;

 private:
  std::vector<now_playing> states_;
  std::size_t next_ = 0;
};

// Its link goes up at the first turn; it ends one turn after it is told to.
class link_destination final : public relay::destination {
 public:
  explicit link_destination(relay::service_status& status) : status_(status) {}
  std::optional<int> turn(bool ending, relay::wait_list& wait) override {
    status_.link("Connected as alice@example.org");
    if (ending && ended_after_one_more_++) return 7;
    if (ending) wait.until(relay::clock::now());
    return std::nullopt;
  }
  void take(const now_playing& state) override { taken.push_back(state.state); }
  std::vector<player_state> taken;

 private:
  relay::service_status& status_;
  int ended_after_one_more_ = 0;
};

TEST(relay_loop, hands_on_every_state_and_tells_systemd_through_its_socket) {
  notify_socket systemd;
  relay::service_status status;
  listed_source from({playing({{"artist", "Band"}, {"title", "Song"}}), now_playing{player_state::stopped, {}, {}}});
  link_destination to(status);
  EXPECT_EQ(relay::run("relay_test", from, to, status), 7) << "the destination's status";
  EXPECT_EQ(to.taken, (std::vector<player_state>{player_state::playing, player_state::stopped}));
  const std::vector<std::string> expected = {
      "READY=1\nSTATUS=Playing: Band \u2013 Song \u00b7 Connected as alice@example.org",
      "STATUS=Stopped \u00b7 Connected as alice@example.org",
      "STOPPING=1\nSTATUS=Stopped \u00b7 Connected as alice@example.org",
  };
  EXPECT_EQ(systemd.received(), expected) << "each change once, in order";
}

TEST(relay_loop, a_failed_source_ends_a_relay_that_ended_well_with_status_one) {
  relay::service_status status;
  listed_source from({});
  from.failing_ = true;
  struct ends_well final : relay::destination {
    std::optional<int> turn(bool ending, relay::wait_list&) override {
      return ending ? std::optional<int>(0) : std::nullopt;
    }
    void take(const now_playing&) override {}
  } to;
  EXPECT_EQ(relay::run("relay_test", from, to, status), 1);
}

}  // namespace
