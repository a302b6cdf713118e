// The component doing its whole job inside a test player: start, playback events through the
// handler's table, quit. Every title is read by another process and decoded as the client does.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <string>

#include "harness/component_host.h"
#include "harness/ucrt_format.h"
#include "reading/decoder.h"

namespace {

const std::string failure_line = "VEK IPC: 'SetData' Failed!\r\n";
using write = player_console_sink::write;

using fields = std::vector<std::pair<std::string, std::string>>;

reading::now_playing decoded() {
  const std::string seen = read_title().value_or("(no window)");
  const reading::decode_result result = reading::decode_title(seen);
  auto* error = std::get_if<reading::decode_error>(&result);
  EXPECT_FALSE(error) << reading::describe(*error) << " in " << seen;
  return error ? reading::now_playing{} : std::get<reading::now_playing>(result);
}

// One player session over the whole suite: the module is loaded once, as a
// player loads it, and the cases run in order.
class session : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    for (auto* sink : {&first_console, &second_console}) api.add_service(*sink);
    api.add_service(registry);
    component.enter(&api);
    raw::call<void>(component.client(), set_module_location, "Z:\\components", "foo_vek_ipc.dll");
    raw::call<void>(component.client(), set_services_ready, 1u);
  }
  void TearDown() override {
    for (player_console_sink* sink : {&first_console, &second_console}) EXPECT_EQ(sink->balance(), 0);
    EXPECT_EQ(registry.balance(), 0);
  }

  static void* handler() { return registry.registrations().at(0).handler; }
  static void info(const player_track_info& track) { raw::call<void>(handler(), dynamic_info, &track); }
  static void stop() { raw::call<void>(handler(), playback_stopped, 0u); }
  static void initquit(unsigned slot) { raw::call<void>(component.service(initquit_class), slot); }
  static auto failures() { return std::ranges::count(first_console.writes(), failure_line, &write::text); }

  static inline loaded_component component;
  static inline player_host_api api;
  static inline player_console_sink first_console, second_console;
  static inline player_callback_registry registry;
};

TEST_F(session, start_creates_the_window_registers_and_announces_on_every_console) {
  EXPECT_FALSE(read_title());
  initquit(start_slot);
  EXPECT_EQ(read_title(), "");
  ASSERT_EQ(registry.registrations().size(), 1u);
  EXPECT_EQ(registry.registrations()[0].event_mask, 0xD6u);
  EXPECT_FALSE(registry.registrations()[0].only_when_visible);
  for (player_console_sink* sink : {&first_console, &second_console}) {
    ASSERT_EQ(sink->writes().size(), 1u);
    EXPECT_EQ(sink->writes()[0].text, "VEK IPC Plugin Initialized\r\n");
  }
}

TEST_F(session, the_worked_example_and_awkward_fields_arrive_intact) {
  info(player_track_info({{"title", {"Song"}}, {"artist", {"Band"}}}, 215.4));
  EXPECT_EQ(read_title(), "dGl0bGUA:U29uZwA=;YXJ0aXN0AA==:QmFuZAA=;bGVuZ3RoAA==:MjE1AA==;");
  const std::string long_value(5000, 'x');
  // clang-format off
  info(player_track_info({{"artist", {"Sigur R\xC3\xB3s", "second artist"}}, {"title", {"a:b;c=d"}}, {"comment", {""}},
                          {"", {"nameless"}}, {"album", {long_value}}, {"genre", {"\xE2\x99\xAB \xF0\x9F\x8E\xB5"}}}, -3.7));
  const reading::now_playing playing = decoded();
  EXPECT_EQ(playing.fields, (fields{{"artist", "Sigur R\xC3\xB3s"}, {"title", "a:b;c=d"}, {"comment", ""},
                                    {"", "nameless"}, {"album", long_value}, {"genre", "\xE2\x99\xAB \xF0\x9F\x8E\xB5"}}));
  // clang-format on
  EXPECT_EQ(playing.length, "-4");
  info(player_track_info({{"title", {"Zero"}}}, 0.4));
  EXPECT_EQ(decoded().length, "0");
  info(player_track_info({{"title", {"Huge"}}}, 1e300));
  EXPECT_EQ(decoded().length, "0") << "a length that does not fit is unknown";
}

TEST_F(session, the_length_is_the_universal_crts_whole_seconds_ties_included) {
  std::string problem;
  ASSERT_TRUE(harness::load_ucrt_formatter(problem)) << problem;
  int track = 0;
  for (double seconds : {0.5, 1.5, 2.5, -2.5, 215.5, 215.4, 215.6, -3.7, 0.0}) {
    info(player_track_info({{"title", {std::to_string(++track)}}}, seconds));
    char expected[64];
    ASSERT_GT(harness::ucrt_snprintf(expected, sizeof expected, "%.0f", seconds), 0);
    EXPECT_EQ(decoded().length, expected) << seconds;
  }
}

TEST_F(session, identical_information_is_written_once_and_stop_holds_until_a_new_track) {
  const player_track_info a({{"title", {"A"}}}, 1), b({{"title", {"B"}}}, 2);
  info(a);
  ASSERT_TRUE(SetWindowTextA(harness::find_ipc_window(), "tampered"));
  info(a);
  EXPECT_EQ(read_title(), "tampered");
  stop();
  EXPECT_EQ(read_title(), "STOP");
  info(a);
  EXPECT_EQ(read_title(), "STOP");
  info(player_track_info({}, 5));
  EXPECT_EQ(read_title(), "STOP") << "no fields, no record";
  info(b);
  EXPECT_EQ(decoded().fields, (fields{{"title", "B"}}));
  // Every slot pops its arguments and changes nothing it should not.
  const auto before = read_title();
  const std::size_t console_lines = first_console.writes().size();
  counting_track_handle track;
  track.add_reference();
  track.add_reference();
  const void* handle = static_cast<service_base*>(&track);
  // clang-format off
  const std::pair<handler_slot, raw::words> calls[] = {
      {playback_starting, raw::words().u32(2).u32(0)}, {new_track, raw::words().ptr(handle)},
      {new_track, raw::words().ptr(nullptr)}, {seek, raw::words().real(12.5)}, {pause_changed, raw::words().u32(1)},
      {track_edited, raw::words().ptr(handle)}, {track_edited, raw::words().ptr(nullptr)},
      {dynamic_info, raw::words().ptr(&b)}, {dynamic_info, raw::words().ptr(nullptr)},
      {dynamic_info_track, raw::words().ptr(&b)},
      {time_tick, raw::words().real(1.0)}, {volume_changed, raw::words().real(-3.0f)}};
  // clang-format on
  for (const auto& [slot, words] : calls) EXPECT_EQ(raw::stack_imbalance(handler(), slot, words), 0) << "slot " << slot;
  EXPECT_EQ(track.balance(), 0) << "each handle released exactly once";
  EXPECT_EQ(track.release_calls(), 2);
  EXPECT_EQ(read_title(), before);
  EXPECT_EQ(first_console.writes().size(), console_lines);
  EXPECT_EQ(raw::stack_imbalance(handler(), playback_stopped, raw::words().u32(0)), 0);
  EXPECT_EQ(read_title(), "STOP");
}

TEST_F(session, failures_print_once_on_every_console_only_while_services_are_ready) {
  ASSERT_TRUE(DestroyWindow(harness::find_ipc_window()));  // writes now fail
  const auto before = failures();
  info(player_track_info({{"title", {"Lost 1"}}}, 1));
  info(player_track_info({{"title", {"Lost 1"}}}, 1));
  EXPECT_EQ(failures(), before + 1) << "a failed record is not written again";
  stop();
  EXPECT_EQ(failures(), before + 2);
  EXPECT_EQ(second_console.writes().size(), first_console.writes().size());
  raw::call<void>(component.client(), set_services_ready, 0u);
  info(player_track_info({{"title", {"Lost 2"}}}, 1));
  stop();
  EXPECT_EQ(failures(), before + 2) << "dropped while services are not ready";
  raw::call<void>(component.client(), set_services_ready, 2u);  // any non-zero byte
  stop();
  EXPECT_EQ(failures(), before + 3);
}

TEST_F(session, quit_removes_the_window_and_leaves_the_handler_inert) {
  initquit(start_slot);  // again, after the window was destroyed behind the component's back
  EXPECT_TRUE(read_title());
  initquit(quit_slot);
  EXPECT_FALSE(read_title());
  const std::size_t console_lines = first_console.writes().size();
  void* retired = registry.registrations().back().handler;
  player_track_handle track;
  track.add_reference();
  raw::call<void>(retired, dynamic_info, &static_cast<const track_info&>(player_track_info({{"t", {"late"}}}, 1)));
  raw::call<void>(retired, playback_stopped, 0u);
  raw::call<void>(retired, new_track, static_cast<service_base*>(&track));
  EXPECT_EQ(first_console.writes().size(), console_lines);
  EXPECT_EQ(track.balance(), 0);
}

TEST(start_failures, in_a_child_player) {
  // Without a registry the window exists and the start is announced.
  process_result child = run_child(L"start-without-registry");
  EXPECT_EQ(child.output, "started; window exists; console lines: 1; references held: 0; quit\n");
  EXPECT_EQ(child.exit_code, 0u);
  // A second registry is the player's to handle: the error reaches it, the
  // window stays, nothing is printed or held, and quit still works.
  child = run_child(L"start-with-two-registries");
  EXPECT_EQ(child.output,
            "exception_service_duplicated: Service duplicated; window exists; console lines: 0; references held: 0; "
            "quit\n");
  EXPECT_EQ(child.exit_code, 0u);
}

}  // namespace
