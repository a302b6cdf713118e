// Fatal signals inside a process that has loaded the component end in the
// structured exception 0x6F8E1DC8 with the signal number, and the runtime
// prints nothing of its own. Each case runs in a child process.
#include <gtest/gtest.h>

#include <string>

#include "component_host.h"

namespace {

void expect_translated(const wchar_t* argument, unsigned signal_number) {
  const process_result child = run_sibling(L"child_host.exe", argument);
  const std::string expected =
      "exception code=0x6F8E1DC8 flags=1 arguments=1 argument0=" + std::to_string(signal_number) + "\n";
  // Exactly this line: no runtime abort message before it, nothing after.
  EXPECT_EQ(child.output, expected);
  EXPECT_EQ(child.exit_code, 0u);
}

TEST(signal_translation, interrupt_termination_and_break_raise_the_exception) {
  expect_translated(L"2", 2);
  expect_translated(L"15", 15);
  expect_translated(L"21", 21);
}

TEST(signal_translation, abort_raises_the_exception_without_a_runtime_message) { expect_translated(L"abort", 22); }

TEST(signal_translation, unloading_the_module_gives_the_signals_back_to_the_runtime) {
  // The runtime's own handling ends the process with code 3; a handler left
  // behind in the unloaded module would crash instead.
  for (const wchar_t* argument : {L"unloaded-2", L"unloaded-15", L"unloaded-abort"}) {
    const process_result child = run_sibling(L"child_host.exe", argument);
    EXPECT_EQ(child.output.find("exception code="), std::string::npos) << child.output;
    EXPECT_EQ(child.exit_code, 3u) << child.output;
  }
}

TEST(signal_translation, other_signals_are_left_to_the_runtime) {
  // SIGFPE keeps the runtime's default handling: no translation.
  const process_result child = run_sibling(L"child_host.exe", L"8");
  EXPECT_EQ(child.output.find("0x6F8E1DC8"), std::string::npos) << child.output;
}

}  // namespace
