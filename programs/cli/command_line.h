// The command-line convention of every program we ship, written once:
//   -h, --help   the synopsis, the options, what the output means and the exit
//                statuses, on standard output; status 0
//   --version    "<program> <version>" on standard output; status 0
//   a usage error (an unknown option, a missing value, two options that
//   exclude each other, a value out of range): one line naming the problem,
//   then the synopsis, on standard error; status 2
// Each program builds its CLI::App, hands it to `follow_convention`, and
// parses through `parse`, which never exits the process itself.
#pragma once

#include <CLI/CLI.hpp>
#include <optional>
#include <string>
#include <vector>

namespace cli {

// The statuses every program shares; a program's own statuses start at 3.
// An interrupt (Ctrl+C, SIGINT, SIGTERM) is how a watching program is meant
// to end: it finishes in order and exits with `exit_success`.
enum exit_status : int { exit_success = 0, exit_failure = 1, exit_usage = 2 };

// Sets the synopsis (the text after "usage: ", lines after the first
// indented by the caller), the description above the options (no final line
// break) and the footer below them (what the output means, the exit
// statuses), and the two flags.
void follow_convention(CLI::App& app, std::string synopsis, std::string description, std::string footer);

// Parses the arguments after the program name. Nothing when the program
// should go on; otherwise the status to exit with, after help, the version
// or a usage error has been printed.
std::optional<int> parse(CLI::App& app, int argc, const char* const* argv);
std::optional<int> parse(CLI::App& app, std::vector<std::string> arguments);

#ifdef _WIN32
// The same for the process's own command line, read as UTF-16 and handed to
// CLI11 as UTF-8, so that every file name survives.
std::optional<int> parse_command_line(CLI::App& app);
#endif

// For a problem found after parsing (a value of the wrong form): prints it
// with the synopsis, as a parsing error is printed, and returns `exit_usage`.
int usage_error(const CLI::App& app, const std::string& problem);

}  // namespace cli
