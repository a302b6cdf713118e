// Playback on a fake clock: a real playlist played to two handlers with
// different masks. The clock always wakes late and first too early, so an
// event delivered early, a schedule that drifts with the lateness or a wrong
// fan-out all change the story.
#include "player/playback.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "player/playlist.h"

namespace {

std::string number(double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%g", value);
  return text;
}

// Writes "<now> <name> <event> [argument]" for each call it receives.
class recording_handler final : public play_callback {
 public:
  recording_handler(const char* name, const player::elapsed& now, std::string& story)
      : name_(name), now_(now), story_(story) {}

  void playback_starting(std::uint32_t, bool) override { note("playback_starting"); }
  void new_track(track_handle* track) override {
    note("new_track");
    track->release();
  }
  void playback_stopped(std::uint32_t reason) override { note("playback_stopped " + number(reason)); }
  void seek(double seconds) override { note("seek " + number(seconds)); }
  void pause_changed(bool paused) override { note(paused ? "paused" : "resumed"); }
  void track_edited(track_handle*) override { note("track_edited"); }
  void dynamic_info(const track_info* info) override {
    note("dynamic_info " + std::string(info->field_value(0, 0)) + " " + number(info->length_seconds()));
  }
  void dynamic_info_track(const track_info*) override { note("dynamic_info_track"); }
  void time_tick(double seconds) override { note("time_tick " + number(seconds)); }
  void volume_changed(float) override { note("volume_changed"); }

 private:
  void note(const std::string& what) { story_ += number(now_.count()) + " " + name_ + " " + what + "\n"; }

  const char* name_;
  const player::elapsed& now_;
  std::string& story_;
};

constexpr std::uint32_t every_event = 0x3FF;
constexpr std::uint32_t ticks_and_stops = 1u << 8 | 1u << 2;

TEST(playback, delivers_each_event_on_schedule_to_the_handlers_that_asked) {
  const playlist::parsed list = playlist::parse(
      "track\ntitle = First\nlength = 10\nplay 2.5s\npause\nwait 1s\nseek 7.5\nresume\nplay 2s\nstop\nwait 1s\n"
      "track\ntitle = Second\nplay 0.5s\n",
      "test.playlist");
  std::string story;
  player::elapsed now{0};
  recording_handler all("all", now, story), ticks("ticks", now, story);
  const player::playback::handler_list handlers = {{&all, every_event, false}, {&ticks, ticks_and_stops, false}};
  using std::chrono::milliseconds;

  // Twice as fast as written, every wake 30 ms late.
  player::playback twice_as_fast(list.steps, handlers, {2, {}}, {});
  for (auto due = twice_as_fast.advance(now); due; due = twice_as_fast.advance(now)) {
    story += "waits until " + number(due->count()) + "\n";
    now = *due - milliseconds(1);
    EXPECT_EQ(twice_as_fast.advance(now), due) << "at " << now.count();
    now = *due + milliseconds(30);
  }
  EXPECT_EQ(twice_as_fast.kept_track_references(), 0);
  EXPECT_EQ(story,
            "0 all playback_starting\n"
            "0 all new_track\n"
            "0 all dynamic_info First 10\n"
            "waits until 500\n"
            "530 all time_tick 1\n"
            "530 ticks time_tick 1\n"
            "waits until 1000\n"
            "1030 all time_tick 2\n"
            "1030 ticks time_tick 2\n"
            "waits until 1250\n"
            "1280 all paused\n"
            "waits until 1750\n"
            "1780 all seek 7.5\n"
            "1780 all resumed\n"
            "waits until 2000\n"
            "2030 all time_tick 8\n"
            "2030 ticks time_tick 8\n"
            "waits until 2500\n"
            "2530 all time_tick 9\n"
            "2530 ticks time_tick 9\n"
            "waits until 2750\n"
            "2780 all playback_stopped 0\n"
            "2780 ticks playback_stopped 0\n"
            "waits until 3250\n"
            "3280 all playback_starting\n"
            "3280 all new_track\n"
            "3280 all dynamic_info Second 0\n"
            "waits until 3500\n"
            "3530 all playback_stopped 1\n"
            "3530 ticks playback_stopped 1\n");

  // Every step 100 ms, ticks spread over it; interrupted while waiting for
  // the first: the handlers hear a stop by the user, and playback is over.
  story.clear();
  now = player::elapsed{0};
  player::playback fixed_steps(list.steps, handlers, {1, milliseconds(100)}, {});
  const auto first_tick = fixed_steps.advance(now);
  ASSERT_TRUE(first_tick);
  EXPECT_EQ(first_tick->count(), 40);
  now = milliseconds(20);
  fixed_steps.interrupt();
  EXPECT_EQ(fixed_steps.advance(milliseconds(1000)), std::nullopt);
  EXPECT_EQ(story,
            "0 all playback_starting\n"
            "0 all new_track\n"
            "0 all dynamic_info First 10\n"
            "20 all playback_stopped 0\n"
            "20 ticks playback_stopped 0\n");
}

}  // namespace
