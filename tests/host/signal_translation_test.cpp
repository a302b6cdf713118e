// The Linux simulation of the signal translation, installed by the linked-in module: a fatal signal
// ends the process with the exception's low byte after naming it and the Windows signal number.
#include "platform/signal_translation.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>

namespace {

#if !defined(_WIN32)
TEST(signal_translation_death, fatal_signals_end_as_the_exception_until_removed) {
  const auto exception_exit = ::testing::ExitedWithCode(0xC8);
  EXPECT_EXIT(std::raise(SIGINT), exception_exit, "non-continuable exception 0x6F8E1DC8, argument 2\n");
  EXPECT_EXIT(std::raise(SIGTERM), exception_exit, "non-continuable exception 0x6F8E1DC8, argument 15\n");
  EXPECT_EXIT(std::abort(), exception_exit, "non-continuable exception 0x6F8E1DC8, argument 22\n");
  EXPECT_EXIT((remove_signal_translation(), std::raise(SIGTERM)), ::testing::KilledBySignal(SIGTERM), "");
}
#endif

}  // namespace
