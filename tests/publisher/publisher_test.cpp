// Start, quit and the playback handler against the Linux stand-in of the
// window system: what the title reads, how often it was written, and what the
// console shows.
#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

#include "host/console.h"
#include "host/module.h"
#include "host/services.h"
#include "platform/standin.h"
#include "publisher/ipc_window.h"
#include "publisher/playback_handler.h"
#include "tests/host_objects/host_objects.h"

namespace {

const test_track_info song_a({{"title", {"Song"}}, {"artist", {"Band"}}}, 215.4);
const test_track_info song_b({{"title", {"Other"}}}, 61);
constexpr char song_a_record[] = "dGl0bGUA:U29uZwA=;YXJ0aXN0AA==:QmFuZAA=;bGVuZ3RoAA==:MjE1AA==;";
constexpr char failure_line[] = "VEK IPC: 'SetData' Failed!\r\n";

class publisher : public ::testing::Test {
 protected:
  publisher() {
    platform::standin::reset();
    last_record.set_text("", 0);
    foobar2000_get_interface(&api, &module);
    services_ready = true;
    api.add_service(sink);
  }
  ~publisher() override {
    services_ready = false;
    kept_host_api = nullptr;
    EXPECT_EQ(sink.balance(), 0);
    EXPECT_EQ(registry.balance(), 0);
  }

  // Starts with the registry in place and returns the handler it received.
  play_callback& start() {
    api.add_service(registry);
    service.start();
    EXPECT_EQ(registry.registrations().size(), 1u);
    return *registry.registrations().back().handler;
  }
  std::string title() const { return platform::standin::window_title(window()); }
  platform::window_handle window() const { return platform::standin::find_message_window(ipc_window_class); }
  std::size_t writes() const { return platform::standin::title_write_count(); }
  std::size_t console_lines(const std::string& text) const {
    std::size_t count = 0;
    for (const auto& write : sink.writes()) count += write.text == text;
    return count;
  }

  int module = 0;
  test_host_api api;
  test_console_sink sink;
  test_callback_registry registry;
  service_impl_single_t<initquit_tutorial1> service;
};

TEST_F(publisher, start_creates_an_untitled_window_registers_and_announces) {
  play_callback& handler = start();
  ASSERT_NE(window(), nullptr);
  EXPECT_EQ(title(), "");
  EXPECT_EQ(registry.registrations()[0].event_mask, 0xD6u);
  EXPECT_FALSE(registry.registrations()[0].only_when_visible);
  ASSERT_EQ(sink.writes().size(), 1u);
  EXPECT_EQ(sink.writes()[0].text, "VEK IPC Plugin Initialized\r\n");
  EXPECT_EQ(&handler, static_cast<play_callback*>(playback_handler));
  service.quit();
  EXPECT_EQ(window(), nullptr);
}

TEST_F(publisher, a_registered_class_is_reused) {
  platform::register_window_class(&module, ipc_window_class);
  start();
  EXPECT_NE(window(), nullptr);
  service.quit();
}

TEST_F(publisher, publishes_changes_once_and_stop_every_time) {
  play_callback& handler = start();
  handler.dynamic_info(&song_a);
  EXPECT_EQ(title(), song_a_record);
  handler.dynamic_info(&song_a);
  EXPECT_EQ(writes(), 1u) << "identical information is written once";

  handler.playback_stopped(0);
  handler.playback_stopped(1);
  EXPECT_EQ(title(), "STOP");
  EXPECT_EQ(writes(), 3u);
  handler.dynamic_info(&song_a);
  EXPECT_EQ(title(), "STOP") << "the record still equals the last one written";
  handler.dynamic_info(&song_b);
  EXPECT_NE(title(), "STOP");

  const std::string before = title();
  const test_track_info no_fields({}, 99);
  handler.dynamic_info(&no_fields);
  EXPECT_EQ(title(), before) << "information without fields publishes nothing";
  EXPECT_EQ(console_lines(failure_line), 0u);
  service.quit();
}

TEST_F(publisher, refused_writes_are_reported_once_each_and_not_retried) {
  play_callback& handler = start();
  platform::standin::fail_title_writes(true);
  handler.dynamic_info(&song_a);
  handler.dynamic_info(&song_a);
  EXPECT_EQ(console_lines(failure_line), 1u);
  EXPECT_STREQ(last_record.text_pointer(), song_a_record) << "kept even though the write failed";
  handler.playback_stopped(0);
  EXPECT_EQ(console_lines(failure_line), 2u);
  platform::standin::fail_title_writes(false);
  handler.dynamic_info(&song_a);
  EXPECT_EQ(title(), "") << "not written again until the information changes";
  service.quit();
}

TEST_F(publisher, other_events_change_nothing_and_handles_are_released_once) {
  play_callback& handler = start();
  handler.dynamic_info(&song_a);
  test_track_handle track;
  track.add_reference();  // the reference the player hands over
  handler.new_track(&track);
  track.add_reference();
  handler.track_edited(&track);
  handler.new_track(nullptr);
  handler.track_edited(nullptr);
  handler.playback_starting(1, true);
  handler.seek(12.5);
  handler.pause_changed(true);
  handler.dynamic_info_track(&song_b);
  handler.time_tick(3);
  handler.volume_changed(-6.0f);
  EXPECT_EQ(track.release_calls(), 2);
  EXPECT_EQ(track.balance(), 0);
  EXPECT_EQ(title(), song_a_record);
  EXPECT_EQ(writes(), 1u);
  EXPECT_EQ(sink.writes().size(), 1u);
  service.quit();
}

TEST_F(publisher, after_quit_the_handler_is_inert_but_still_releases_handles) {
  play_callback& handler = start();
  service.quit();
  const std::size_t lines = sink.writes().size();
  handler.dynamic_info(&song_b);
  handler.playback_stopped(0);
  test_track_handle track;
  track.add_reference();
  handler.new_track(&track);
  EXPECT_EQ(track.balance(), 0);
  EXPECT_EQ(sink.writes().size(), lines) << "no failure line for the destroyed window";
  EXPECT_EQ(writes(), 0u);
}

TEST_F(publisher, start_without_registry_still_creates_the_window_and_announces) {
  service.start();
  EXPECT_NE(window(), nullptr);
  EXPECT_EQ(sink.writes().size(), 1u);
  service.quit();
}

TEST_F(publisher, a_registry_that_hands_out_nothing_counts_as_missing) {
  api.add_service(registry);
  api.set_creation(playback_callback_registry::class_id, test_host_api::creation::refused);
  service.start();
  EXPECT_TRUE(registry.registrations().empty());
  EXPECT_EQ(sink.writes().size(), 1u);
  service.quit();
}

TEST_F(publisher, two_registries_fail_start_after_the_window_exists) {
  test_callback_registry second;
  api.add_service(registry);
  api.add_service(second);
  Test_Class* before = playback_handler;
  EXPECT_THROW(service.start(), exception_service_duplicated);
  EXPECT_NE(window(), nullptr) << "the window stays";
  EXPECT_TRUE(sink.writes().empty()) << "nothing is printed";
  EXPECT_EQ(playback_handler, before);
  EXPECT_EQ(second.balance(), 0);
  service.quit();
}

TEST_F(publisher, a_failing_console_lets_the_error_out_of_start) {
  sink.fail_write(0, std::make_exception_ptr(std::runtime_error("console broke")));
  EXPECT_THROW(start(), std::runtime_error);
  service.quit();
}

}  // namespace
