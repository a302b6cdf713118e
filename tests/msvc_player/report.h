// Output and verdicts of the test player. Formats are ntdll's printf.
#pragma once

void print(const char* format, ...);
// Prints the message and counts a failure unless `ok`; returns `ok`.
bool expect(bool ok, const char* format, ...);
// Both texts when they differ.
bool expect_text(const char* seen, const char* expected, const char* what);
int failure_count();
// A call the player never makes or receives: prints and ends the process (code 3).
[[noreturn]] void fatal(const char* what);

// Runs the scenario named by `argument`; returns the process exit code.
int run_scenario(const char* argument);
