// When Wine runs for the relays, on a clock driven by hand.
#include "wine_prefix/lifecycle.h"

#include <gtest/gtest.h>

#include <string_view>

namespace {

using namespace std::chrono_literals;
using wine_prefix::clock;
using wine_prefix::idle_watch;
using wine_prefix::reader_schedule;
using step = reader_schedule::step;

const clock::time_point t0 = clock::time_point() + 1h;

TEST(wine_prefix, own_processes_in_any_letter_case_and_width) {
  EXPECT_TRUE(wine_prefix::is_own_process(std::string_view("services.exe")));
  EXPECT_TRUE(wine_prefix::is_own_process(std::wstring_view(L"Explorer.EXE")));
  EXPECT_TRUE(wine_prefix::is_own_process(std::wstring_view(L"winemenubuilder.exe")));
  EXPECT_FALSE(wine_prefix::is_own_process(std::string_view("explorer.exe.bak")));
  EXPECT_FALSE(wine_prefix::is_own_process(std::string_view("explorer")));
  EXPECT_FALSE(wine_prefix::is_own_process(std::wstring_view(L"player.exe")));
}

TEST(wine_prefix, the_watch_ends_after_five_idle_seconds_in_a_row) {
  idle_watch watch;
  EXPECT_FALSE(watch.idle_long_enough(t0, false));
  EXPECT_FALSE(watch.idle_long_enough(t0 + 4900ms, false));
  EXPECT_FALSE(watch.idle_long_enough(t0 + 4950ms, true)) << "a window or a program starts the count over";
  EXPECT_FALSE(watch.idle_long_enough(t0 + 5s, false));
  EXPECT_FALSE(watch.idle_long_enough(t0 + 9900ms, false));
  EXPECT_TRUE(watch.idle_long_enough(t0 + 10s, false));
}

TEST(wine_prefix, a_day_of_the_player_coming_and_going) {
  reader_schedule schedule;
  EXPECT_EQ(schedule.next(), step::wait_for_server) << "no Wine before a wineserver runs";
  schedule.server_running(t0);
  ASSERT_EQ(schedule.next(), step::run_reader);
  schedule.reader_started(t0);
  EXPECT_EQ(schedule.next(), step::reading);
  // The player ends; the reader ends its watch; Wine ends by itself.
  schedule.reader_ended(t0 + 1h, true);
  ASSERT_EQ(schedule.next(), step::wait_for_server_end);
  EXPECT_EQ(schedule.until(), t0 + 1h + 6s);
  schedule.server_gone();
  EXPECT_EQ(schedule.next(), step::wait_for_server);

  // A wineserver that outlives its programs: looked at again later each time in a row.
  clock::time_point now = t0 + 2h;
  schedule.server_running(now);
  schedule.reader_started(now);
  clock::duration expected = 6s;
  for (int round = 0; round < 10; ++round) {
    schedule.reader_ended(now, true);
    ASSERT_EQ(schedule.next(), step::wait_for_server_end);
    EXPECT_EQ(schedule.until() - now, expected) << "round " << round;
    now = schedule.until();
    schedule.server_outlived_linger(now);
    ASSERT_EQ(schedule.next(), step::run_reader);
    schedule.reader_started(now);
    expected = std::min<clock::duration>(expected * 2, 10min);
  }
  EXPECT_EQ(expected, 10min) << "the wait stops growing at ten minutes";
  // Once the server ends, the next one starts from six seconds again.
  schedule.reader_ended(now, true);
  schedule.server_gone();
  schedule.server_running(now + 1h);
  schedule.reader_started(now + 1h);
  schedule.reader_ended(now + 2h, true);
  EXPECT_EQ(schedule.until(), now + 2h + 6s);
}

TEST(wine_prefix, a_reader_that_dies_runs_again_and_backs_off_while_it_keeps_dying) {
  reader_schedule schedule;
  schedule.server_running(t0);
  schedule.reader_started(t0);
  // Killed after an hour: again at once (a quarter second, while a killed
  // wineserver goes too).
  clock::time_point now = t0 + 1h;
  schedule.reader_ended(now, false);
  ASSERT_EQ(schedule.next(), step::wait_to_restart);
  EXPECT_EQ(schedule.until() - now, 250ms);
  // Each time it dies at once, twice as late, up to 30 s.
  clock::duration expected = 250ms;
  for (int death = 0; death < 10; ++death) {
    now = schedule.until();
    schedule.server_running(now);
    ASSERT_EQ(schedule.next(), step::run_reader);
    schedule.reader_started(now);
    now += 1s;
    schedule.reader_ended(now, false);
    expected = std::min<clock::duration>(expected * 2, 30s);
    EXPECT_EQ(schedule.until() - now, expected) << "death " << death;
  }
  EXPECT_EQ(expected, 30s);
  // A reader that then ran steadily for a minute starts the delays over.
  schedule.server_running(schedule.until());
  schedule.reader_started(now + 30s);
  schedule.reader_ended(now + 30s + 1min, false);
  EXPECT_EQ(schedule.until() - (now + 30s + 1min), 250ms);
  // The wineserver went meanwhile: no restart, no Wine.
  schedule.server_gone();
  EXPECT_EQ(schedule.next(), step::wait_for_server);
}

}  // namespace
