// The IPC window's title as the messaging client reads it, in this process or
// in another one: a child prints a report line that the parent reads back.
#pragma once

#include <windows.h>

#include <optional>
#include <string>

namespace harness {

// The component's window on this desktop, or null.
HWND find_ipc_window();
std::string window_title(HWND window);

// "window: <title>", or "no window" without a title.
std::string title_report(const std::optional<std::string>& title);
// A child's part: prints the report of the window as it is now on standard output.
int print_title_report();
// The title a report names, nothing for "no window"; `valid` is false for anything else.
std::optional<std::string> title_from_report(const std::string& report, bool& valid);

struct process_result {
  bool started = false;
  DWORD exit_code = 0;
  std::string output;   // standard output and error together
  std::string problem;  // why it could not start
};

// Runs `command_line` and waits for it to end.
process_result run_process(std::wstring command_line);
// Quoted paths, to start as a command: this program, and `file` in its folder.
std::wstring this_program();
std::wstring beside_this_program(const wchar_t* file);

}  // namespace harness
