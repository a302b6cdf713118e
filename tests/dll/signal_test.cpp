// Fatal signals in a player process that has loaded the component end in the structured
// exception 0x6F8E1DC8 with the signal number, the runtime printing nothing of its own.
#include <gtest/gtest.h>

#include <string>
#include <utility>

#include "harness/component_host.h"

namespace {

TEST(signal_translation, interrupt_termination_break_and_abort_raise_the_exception_only_while_loaded) {
  for (const auto& [mode, number] : {std::pair{L"2", 2}, {L"15", 15}, {L"21", 21}, {L"abort", 22}}) {
    const process_result child = run_child(mode);
    EXPECT_EQ(child.output, "exception code=0x6F8E1DC8 flags=1 arguments=1 argument0=" + std::to_string(number) + "\n");
    EXPECT_EQ(child.exit_code, 0u);
  }
  // Other signals, and all once the module is unloaded, keep the runtime's own handling: it
  // ends the process with code 3; a handler left in the unloaded module would crash.
  for (const wchar_t* mode : {L"8", L"unloaded-2", L"unloaded-15", L"unloaded-abort"}) {
    const process_result child = run_child(mode);
    EXPECT_EQ(child.output.find("exception code="), std::string::npos) << child.output;
    EXPECT_EQ(child.exit_code, 3u) << child.output;
  }
}

}  // namespace
