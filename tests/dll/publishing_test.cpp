// The component doing its whole job inside a test player: start, playback
// events through the handler's table, quit. Every title is read by another
// process and decoded as the messaging client's side decodes it.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "component_host.h"
#include "tools/reader/decoder.h"

namespace {

constexpr wchar_t window_class[] = L"{C228F795-8913-40ec-A81B-486BB773FF5F}";
constexpr char failure_line[] = "VEK IPC: 'SetData' Failed!\r\n";

// Handler slots, in table order.
enum handler_slot : unsigned {
  playback_starting, new_track, playback_stopped, seek, pause_changed,
  track_edited, dynamic_info, dynamic_info_track, time_tick, volume_changed
};

using fields = std::vector<std::pair<std::string, std::string>>;

HWND find_window() { return FindWindowExW(HWND_MESSAGE, nullptr, window_class, nullptr); }

// The title as another process reads it, decoded. Empty optional: no window.
struct observed {
  bool window = false;
  std::string title;
};
observed observe() {
  const std::string line = read_title_from_another_process();
  if (line == "no window") return {};
  EXPECT_EQ(line.rfind("window: ", 0), 0u) << line;
  return {true, line.substr(8)};
}

reader::now_playing decode(const std::string& title) {
  reader::decode_result result = reader::decode_title(title);
  if (auto* error = std::get_if<reader::decode_error>(&result)) {
    ADD_FAILURE() << reader::describe(*error) << " in " << title;
    return {};
  }
  return std::get<reader::now_playing>(result);
}

// One player session over the whole suite: the module is loaded once, as a
// player loads it, and the cases run in order.
class session : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    api.add_service(first_console);
    api.add_service(second_console);
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
  static std::size_t lines(const std::string& text) {
    std::size_t count = 0;
    for (const auto& write : first_console.writes()) count += write.text == text;
    return count;
  }

  static inline loaded_component component;
  static inline player_host_api api;
  static inline player_console_sink first_console, second_console;
  static inline player_callback_registry registry;
};

TEST_F(session, start_creates_the_window_registers_and_announces_on_every_console) {
  EXPECT_FALSE(observe().window);
  raw::call<void>(component.service(initquit_class), 3);
  const observed seen = observe();
  EXPECT_TRUE(seen.window);
  EXPECT_EQ(seen.title, "");
  ASSERT_EQ(registry.registrations().size(), 1u);
  EXPECT_EQ(registry.registrations()[0].event_mask, 0xD6u);
  EXPECT_FALSE(registry.registrations()[0].only_when_visible);
  for (player_console_sink* sink : {&first_console, &second_console}) {
    ASSERT_EQ(sink->writes().size(), 1u);
    EXPECT_EQ(sink->writes()[0].text, "VEK IPC Plugin Initialized\r\n");
  }
}

TEST_F(session, the_worked_example_is_published_exactly) {
  info(player_track_info({{"title", {"Song"}}, {"artist", {"Band"}}}, 215.4));
  const observed seen = observe();
  EXPECT_EQ(seen.title, "dGl0bGUA:U29uZwA=;YXJ0aXN0AA==:QmFuZAA=;bGVuZ3RoAA==:MjE1AA==;");
  const reader::now_playing playing = decode(seen.title);
  EXPECT_EQ(playing.state, reader::player_state::playing);
  EXPECT_EQ(playing.fields, (fields{{"title", "Song"}, {"artist", "Band"}}));
  EXPECT_EQ(playing.length, "215");
}

TEST_F(session, awkward_fields_and_lengths_arrive_intact) {
  const std::string long_value(5000, 'x');
  info(player_track_info({{"artist", {"Sigur R\xC3\xB3s", "second artist"}},
                        {"title", {"a:b;c=d"}},
                        {"comment", {""}},
                        {"", {"nameless"}},
                        {"album", {long_value}},
                        {"genre", {"\xE2\x99\xAB \xF0\x9F\x8E\xB5"}}},
                       -3.7));
  const reader::now_playing playing = decode(observe().title);
  EXPECT_EQ(playing.fields, (fields{{"artist", "Sigur R\xC3\xB3s"},
                                    {"title", "a:b;c=d"},
                                    {"comment", ""},
                                    {"", "nameless"},
                                    {"album", long_value},
                                    {"genre", "\xE2\x99\xAB \xF0\x9F\x8E\xB5"}}));
  EXPECT_EQ(playing.length, "-4");

  info(player_track_info({{"title", {"Zero"}}}, 0.4));
  EXPECT_EQ(decode(observe().title).length, "0");
  info(player_track_info({{"title", {"Huge"}}}, 1e300));
  EXPECT_EQ(decode(observe().title).length, "0") << "a length that does not fit is unknown";
}

TEST_F(session, identical_information_is_written_once) {
  const player_track_info same({{"title", {"Once"}}}, 10);
  info(same);
  ASSERT_TRUE(SetWindowTextA(find_window(), "tampered"));
  info(same);
  EXPECT_EQ(observe().title, "tampered");
}

TEST_F(session, stop_then_the_same_track_keeps_stop_and_a_new_track_is_written) {
  const player_track_info a({{"title", {"A"}}}, 1), b({{"title", {"B"}}}, 2);
  info(a);
  stop();
  EXPECT_EQ(observe().title, "STOP");
  info(a);
  EXPECT_EQ(observe().title, "STOP");
  info(player_track_info({}, 5));
  EXPECT_EQ(observe().title, "STOP") << "no fields, no record";
  info(b);
  EXPECT_EQ(decode(observe().title).fields, (fields{{"title", "B"}}));
}

TEST_F(session, every_slot_pops_its_arguments_and_changes_nothing_it_should_not) {
  const player_track_info playing({{"title", {"Steady"}}}, 3);
  info(playing);
  const std::string title = observe().title;
  const std::size_t console_lines = first_console.writes().size();
  player_track_handle track;
  for (int i = 0; i < 200; ++i) {
    track.add_reference();
    track.add_reference();
    EXPECT_EQ(raw::stack_imbalance(handler(), playback_starting, raw::words().u32(2).u32(0)), 0);
    EXPECT_EQ(raw::stack_imbalance(handler(), new_track, raw::words().ptr(static_cast<service_base*>(&track))), 0);
    EXPECT_EQ(raw::stack_imbalance(handler(), new_track, raw::words().ptr(nullptr)), 0);
    EXPECT_EQ(raw::stack_imbalance(handler(), seek, raw::words().f64(12.5)), 0);
    EXPECT_EQ(raw::stack_imbalance(handler(), pause_changed, raw::words().u32(1)), 0);
    EXPECT_EQ(raw::stack_imbalance(handler(), track_edited, raw::words().ptr(static_cast<service_base*>(&track))), 0);
    EXPECT_EQ(raw::stack_imbalance(handler(), track_edited, raw::words().ptr(nullptr)), 0);
    EXPECT_EQ(raw::stack_imbalance(handler(), dynamic_info, raw::words().ptr(&playing)), 0);
    EXPECT_EQ(raw::stack_imbalance(handler(), dynamic_info_track, raw::words().ptr(&playing)), 0);
    EXPECT_EQ(raw::stack_imbalance(handler(), time_tick, raw::words().f64(1.0)), 0);
    EXPECT_EQ(raw::stack_imbalance(handler(), volume_changed, raw::words().f32(-3.0f)), 0);
  }
  EXPECT_EQ(track.balance(), 0) << "each handle released exactly once";
  EXPECT_EQ(track.release_calls(), 400);
  EXPECT_EQ(observe().title, title);
  EXPECT_EQ(first_console.writes().size(), console_lines);
  for (int i = 0; i < 20; ++i) EXPECT_EQ(raw::stack_imbalance(handler(), playback_stopped, raw::words().u32(0)), 0);
  EXPECT_EQ(observe().title, "STOP");
}

TEST_F(session, console_lines_reach_every_sink_only_while_services_are_ready) {
  HWND window = find_window();
  ASSERT_TRUE(window);
  ASSERT_TRUE(DestroyWindow(window));  // every title write now fails
  const std::size_t before = lines(failure_line);
  info(player_track_info({{"title", {"Lost 1"}}}, 1));
  EXPECT_EQ(lines(failure_line), before + 1);
  info(player_track_info({{"title", {"Lost 1"}}}, 1));
  EXPECT_EQ(lines(failure_line), before + 1) << "a failed record is not written again";
  stop();
  EXPECT_EQ(lines(failure_line), before + 2);
  EXPECT_EQ(second_console.writes().size(), first_console.writes().size());

  raw::call<void>(component.client(), set_services_ready, 0u);
  info(player_track_info({{"title", {"Lost 2"}}}, 1));
  stop();
  EXPECT_EQ(lines(failure_line), before + 2) << "dropped while services are not ready";
  raw::call<void>(component.client(), set_services_ready, 2u);  // any non-zero byte
  stop();
  EXPECT_EQ(lines(failure_line), before + 3);
}

TEST_F(session, quit_removes_the_window_and_leaves_the_handler_inert) {
  // Start again after the window was destroyed behind the component's back.
  raw::call<void>(component.service(initquit_class), 3);
  EXPECT_TRUE(observe().window);
  raw::call<void>(component.service(initquit_class), 4);
  EXPECT_FALSE(observe().window);
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

TEST(start_failures, without_a_registry_the_window_exists_and_the_start_is_announced) {
  const process_result child = run_sibling(L"child_host.exe", L"start-without-registry");
  EXPECT_EQ(child.output, "started; console lines: 1\n");
  EXPECT_EQ(child.exit_code, 0u);
}

TEST(start_failures, two_registries_end_the_player_through_the_abort_translation) {
  // The error cannot unwind into a player with its own runtime: it ends in
  // std::terminate, whose abort arrives as the structured exception.
  // The module's own runtime names the error on standard error first.
  const process_result child = run_sibling(L"child_host.exe", L"start-with-two-registries");
  EXPECT_NE(child.output.find("what():  Service duplicated"), std::string::npos) << child.output;
  const std::string seen_by_the_player =
      "exception code=0x6F8E1DC8 flags=1 arguments=1 argument0=22\n"
      "window exists\n"
      "console lines: 0\n";
  EXPECT_TRUE(child.output.ends_with(seen_by_the_player)) << child.output;
}

}  // namespace
