// The Linux stand-in of the signal translation: the module (linked in) has
// installed it at load, so a fatal signal ends the process with the
// exception's low byte after naming the code and the Windows signal number.
#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>

#include "support/signal_translation.h"

namespace {

#if !defined(_WIN32)
TEST(signal_translation_death, fatal_signals_end_as_the_exception_with_windows_numbers) {
  const auto exception_exit = ::testing::ExitedWithCode(0xC8);
  EXPECT_EXIT(std::raise(SIGINT), exception_exit, "non-continuable exception 0x6F8E1DC8, argument 2\n");
  EXPECT_EXIT(std::raise(SIGTERM), exception_exit, "non-continuable exception 0x6F8E1DC8, argument 15\n");
  EXPECT_EXIT(std::abort(), exception_exit, "non-continuable exception 0x6F8E1DC8, argument 22\n");
}

TEST(signal_translation_death, removal_gives_the_signal_back) {
  EXPECT_EXIT(
      {
        remove_signal_translation();
        std::raise(SIGTERM);
      },
      ::testing::KilledBySignal(SIGTERM), "");
}
#endif

}  // namespace
