// vek-ipc-decode: decodes window titles read one per line from standard
// input (an empty line is the empty title; a trailing CR is dropped) and
// prints one JSON line, or with --tune one tune payload, or with --text one
// readable line, per title.
// An undecodable title is reported on standard error with its line number and
// prints nothing; the exit status is then 1 once the input is done.
#include <signal.h>

#include <cstdio>
#include <iostream>
#include <string>
#include <variant>

#include "cli/command_line.h"
#include "reading/format_options.h"

namespace {

volatile sig_atomic_t interrupted = 0;

extern "C" void on_interrupt(int) { interrupted = 1; }

constexpr char tune_help[] =
    "--tune prints the XEP-0118 <tune/> payload instead; it is not the input\n"
    "  vek-tune-publish reads, which takes the JSON lines.\n";

constexpr char status_help[] =
    "An undecodable title prints nothing and is reported on standard error as\n"
    "  vek-ipc-decode: line N: entry E, byte B: what is wrong\n"
    "Exit status: 0 every title decoded (or interrupted); 1 a title was undecodable\n"
    "or the output failed; 2 usage error.\n";

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"", "vek-ipc-decode"};
  const reading::format_options formats(app);
  cli::follow_convention(app, "vek-ipc-decode [--tune | --text] < TITLES",
                         "Decodes the player's window titles, one per line on standard input (as\n"
                         "vek-ipc-read.exe sees them), and prints what each one says.",
                         reading::json_lines_help("Output, one line per title:", false) + tune_help +
                             reading::text_help(false) + status_help);
  if (const auto status = cli::parse(app, argc, argv)) return *status;
  const auto format = formats.format();

  // An interrupt ends the reading, not the process: what was read is printed.
  struct sigaction action = {};
  action.sa_handler = on_interrupt;
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);

  int status = cli::exit_success;
  std::string title;
  for (unsigned long line = 1; !interrupted && std::getline(std::cin, title); ++line) {
    if (!title.empty() && title.back() == '\r') title.pop_back();
    const reading::decode_result decoded = reading::decode_title(title);
    if (const auto* error = std::get_if<reading::decode_error>(&decoded)) {
      std::cerr << "vek-ipc-decode: line " << line << ": " << reading::describe(*error) << std::endl;
      status = cli::exit_failure;
      continue;
    }
    // Flushed per line: the filter may sit in a live pipe.
    std::cout << reading::render(std::get<reading::now_playing>(decoded), format) << std::endl;
    if (!std::cout) return cli::exit_failure;
  }
  return status;
}
