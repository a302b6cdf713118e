// The reader's JSON lines as the relays take them: each line read back into
// the state the reader printed it from, and the input read from a real
// descriptor in whatever pieces it comes.
#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "reading/output.h"
#include "reading/state_input.h"
#include "reading/state_line.h"

namespace {

using reading::malformed_line;
using reading::now_playing;
using reading::parse_state_line;
using reading::player_state;

// What a relay makes of the reader's line for `state`.
std::string payload_through_line(const now_playing& state, const std::string& line_end = "") {
  const auto parsed = parse_state_line(reading::json_line(state) + line_end);
  if (const auto* bad = std::get_if<malformed_line>(&parsed)) return "malformed: " + bad->reason;
  return reading::tune_payload(std::get<now_playing>(parsed));
}

TEST(state_lines, the_readers_lines_give_the_payload_the_reader_prints) {
  const std::vector<now_playing> states = {
      {player_state::playing,
       {{"TITLE", "Army <of> Me & \"you\""},
        {"Artist", "Bj\xC3\xB6rk"},
        {"album", "Post"},
        {"tracknumber", "1"},
        {"rating", "4"},
        {"uri", "file:///m\xFF\xFEsic"},
        {"title", "second title"}},
       "234"},
      {player_state::playing, {{"title", "line\nbreak\ttab\x01"}, {"artist", ""}, {"rating", "11"}}, "65536"},
      {player_state::playing, {{"title", "huge"}}, "1" + std::string(30, '0')},  // printed as a double
      {player_state::playing, {{"title", "negative"}}, "-5"},
      {player_state::playing, {}, "0"},
      {player_state::stopped, {}, ""},
      {player_state::none, {}, ""},
      {player_state::absent, {}, ""},
  };
  for (const auto& state : states) {
    const std::string expected = reading::tune_payload(state);
    EXPECT_EQ(payload_through_line(state), expected) << reading::json_line(state);
    EXPECT_EQ(payload_through_line(state, "\r"), expected) << "with a Windows line end";
  }
  // The first state really carries elements, so the comparison above is not
  // only between empty tunes.
  EXPECT_NE(payload_through_line(states[0]).find("<source>Post</source>"), std::string::npos);
}

TEST(state_lines, lines_not_in_the_readers_form_are_malformed) {
  for (const char* line : {"", "not json", "[1,2]", "{\"fields\":[]}", "{\"state\":7}", "{\"state\":\"paused\"}",
                           "{\"state\":\"playing\",\"length\":1}", "{\"state\":\"playing\",\"fields\":{},\"length\":1}",
                           "{\"state\":\"playing\",\"fields\":[[\"a\"]],\"length\":1}",
                           "{\"state\":\"playing\",\"fields\":[[\"a\",2]],\"length\":1}",
                           "{\"state\":\"playing\",\"fields\":[],\"length\":\"215\"}", "{\"state\":\"stopped\"} x",
                           "{\"state\":\"playing\",\"fields\":[[\"title\",\"\xFF\"]],\"length\":1}"}) {
    EXPECT_TRUE(std::holds_alternative<malformed_line>(parse_state_line(line))) << line;
  }
  // What the reader might add later is no reason to refuse a line.
  EXPECT_FALSE(std::holds_alternative<malformed_line>(parse_state_line("{\"state\":\"stopped\",\"since\":3}")));
}

// A state_input on the read end of a pipe, recording what it hands on.
class piped_input {
 public:
  piped_input() {
    EXPECT_EQ(pipe(ends_), 0);
    input_ =
        std::make_unique<reading::state_input>(ends_[0], [this](const std::string& text) { reports.push_back(text); });
  }
  ~piped_input() {
    close(ends_[0]);
    if (ends_[1] >= 0) close(ends_[1]);
  }
  void write_all(const std::string& data) {
    for (std::size_t done = 0; done < data.size();) {
      const ssize_t wrote = ::write(ends_[1], data.data() + done, data.size() - done);
      ASSERT_GT(wrote, 0);
      done += static_cast<std::size_t>(wrote);
    }
  }
  void end_input() {
    close(ends_[1]);
    ends_[1] = -1;
  }
  // Reads once the pipe has something (or has ended), as a relay's loop does.
  bool read(bool drain) {
    pollfd readable = {ends_[0], POLLIN, 0};
    poll(&readable, 1, -1);
    return input_->read(drain, [this](const now_playing& state) { states.push_back(reading::json_line(state)); });
  }

  std::vector<std::string> states, reports;

 private:
  int ends_[2] = {-1, -1};
  std::unique_ptr<reading::state_input> input_;
};

const std::string stopped = "{\"state\":\"stopped\"}";
const std::string playing = "{\"state\":\"playing\",\"fields\":[[\"title\",\"Song\"]],\"length\":215}";

TEST(state_input, lines_split_across_reads_and_a_last_line_without_a_break_are_whole) {
  piped_input input;
  input.write_all(playing.substr(0, 10));
  EXPECT_TRUE(input.read(true));
  EXPECT_TRUE(input.states.empty()) << "half a line is not a state";
  input.write_all(playing.substr(10) + "\r\n\n" + stopped.substr(0, 5));
  EXPECT_TRUE(input.read(true));
  EXPECT_EQ(input.states, std::vector{playing});
  input.write_all(stopped.substr(5) + "\nnot json\n" + playing);
  input.end_input();
  EXPECT_FALSE(input.read(true)) << "the input has ended";
  EXPECT_EQ(input.states, (std::vector{playing, stopped, playing}));
  EXPECT_EQ(input.reports, std::vector<std::string>{"line 4: malformed input (not JSON); skipped"})
      << "an empty line counts as a line and is ignored";
}

TEST(state_input, a_line_over_16_MiB_is_reported_and_the_next_one_taken) {
  piped_input input;
  // The pipe holds far less than the line: written from another thread.
  std::thread writer([&input] {
    input.write_all(stopped + "\n" + std::string((16 << 20) + 1, 'x') + "\n" + playing + "\n");
    input.end_input();
  });
  while (input.read(true)) {
  }
  writer.join();
  EXPECT_EQ(input.states, (std::vector{stopped, playing}));
  EXPECT_EQ(input.reports, std::vector<std::string>{"line 2: malformed input (longer than 16 MiB); skipped"});
}

TEST(state_input, a_flood_is_taken_a_chunk_at_a_time_unless_drained) {
  std::string flood;
  while (flood.size() < (256 << 10)) flood += playing + "\n" + stopped + "\n";
  const auto lines = static_cast<std::size_t>(std::count(flood.begin(), flood.end(), '\n'));

  piped_input chunked;
  std::thread writer([&chunked, &flood] {
    chunked.write_all(flood);
    chunked.end_input();
  });
  std::size_t reads = 0;
  while (chunked.read(false)) {
    ++reads;
    // A chunk is at most 64 KiB, so no read hands on much more than that.
    EXPECT_LE(chunked.states.size(), reads * (65536 / stopped.size() + 1));
  }
  writer.join();
  EXPECT_EQ(chunked.states.size(), lines) << "nothing lost";
  EXPECT_GE(reads, flood.size() / 65536) << "taken in chunks";

  piped_input drained;
  drained.write_all(flood.substr(0, 60000));
  EXPECT_TRUE(drained.read(true));
  EXPECT_EQ(drained.states.size(), static_cast<std::size_t>(std::count(flood.begin(), flood.begin() + 60000, '\n')))
      << "everything there is, in one call";
}

}  // namespace
