// vek-player: a playlist player in place of the media player. Loads foo_vek_ipc.dll the way
// the player does (export, client object, factories, services ready, start),
// plays a playlist file through the playback handler the component registers,
// at the playlist's own pace or a chosen one, then quits and unloads it.
// The command line, its output and its exit statuses are told by --help.
#include <windows.h>

#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <utility>
#include <variant>

#include "cli/command_line.h"
#include "player/component_session.h"
#include "player/console.h"
#include "player/playback.h"
#include "player/playlist.h"
#include "player/real_time.h"
#include "text/utf16.h"

using console::complain;

namespace {

constexpr char footer[] =
    "The playlist format is described in PLAYLIST.md (programs/player/PLAYLIST.md\n"
    "in the sources); sample.playlist beside it is a short session.\n"
    "\n"
    "Output, on standard output:\n"
    "  loaded NAME VERSION (FILE)   the component loaded and started\n"
    "  [console] TEXT               each line the component writes to the console\n"
    "  with --verbose also:\n"
    "  [player] ...                 the module's path, its services, the events its\n"
    "                               playback handler registered for\n"
    "  [event] line N: EVENT ...    each event delivered, with its playlist line\n"
    "Problems go to standard error as \"vek-player: ...\"; Ctrl+C stops playback,\n"
    "quits and unloads the component, and prints \"vek-player: interrupted\".\n"
    "Exit status: 0 played to the end, or interrupted; 1 the component failed\n"
    "(cannot be loaded, no client or start service, references kept after\n"
    "quit); 2 usage error, or the playlist cannot be read or is faulty (nothing\n"
    "is loaded).\n";

struct options {
  std::wstring component;
  std::wstring playlist;
  double pace = 1;
  std::optional<int> step_ms;
  bool verbose = false;
};

// A validator's verdict on `text`: empty when it is a number above 0.
std::string check_pace(const std::string& text) {
  char* end = nullptr;
  const double value = std::strtod(text.c_str(), &end);
  if (text.empty() || *end != '\0' || !(value > 0) || !std::isfinite(value))
    return "takes a number above 0, not '" + text + "'";
  return {};
}

std::string check_step_ms(const std::string& text) {
  char* end = nullptr;
  errno = 0;
  const long value = std::strtol(text.c_str(), &end, 10);
  if (text.empty() || *end != '\0' || errno == ERANGE || value < 0 || value > 3600000)
    return "takes a whole number of milliseconds from 0 to 3600000, not '" + text + "'";
  return {};
}

// The options, or the status to exit with (after help, the version or a
// usage error has been printed).
std::variant<options, int> read_options() {
  CLI::App app{"", "vek-player"};
  options chosen;
  std::string component, playlist_path;
  int step_ms = 0;
  app.add_option("--component", component, "the module to load (default: foo_vek_ipc.dll beside\nvek-player.exe)")
      ->type_name("PATH");
  auto* pace = app.add_option("--pace", chosen.pace, "play FACTOR times as fast as the playlist says\n(default 1)")
                   ->type_name("FACTOR")
                   ->check(check_pace);
  auto* step =
      app.add_option("--step-ms", step_ms, "let every play and wait step last N milliseconds\n(0 to 3600000) instead")
          ->type_name("N")
          ->check(check_step_ms);
  pace->excludes(step);
  app.add_flag("--verbose", chosen.verbose, "also print the module, the registered events and\neach event delivered");
  app.add_option("PLAYLIST", playlist_path, "the playlist file to play")->type_name("")->required();
  cli::follow_convention(app, "vek-player [--component PATH] [--pace FACTOR | --step-ms N] [--verbose] PLAYLIST",
                         "Loads the component as the media player does, plays PLAYLIST through the\n"
                         "playback handler it registers, then quits and unloads it.",
                         footer);
  if (const auto status = cli::parse_command_line(app)) return *status;
  if (step->count() > 0) chosen.step_ms = step_ms;
  chosen.component = text::utf16_from_utf8(component);
  chosen.playlist = text::utf16_from_utf8(playlist_path);
  return chosen;
}

// The file's bytes, or why they cannot be read (as the C library words it).
std::variant<std::string, std::string> read_file(const std::wstring& path) {
  using result = std::variant<std::string, std::string>;
  // Windows refuses to open a directory as "Permission denied", which misleads.
  const DWORD attributes = GetFileAttributesW(path.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY))
    return result(std::in_place_index<1>, std::strerror(EISDIR));
  FILE* file = _wfopen(path.c_str(), L"rb");
  if (!file) return result(std::in_place_index<1>, std::strerror(errno));
  std::string text;
  char buffer[65536];
  for (std::size_t got; (got = std::fread(buffer, 1, sizeof buffer, file)) > 0;) text.append(buffer, got);
  const int failure = std::ferror(file) ? errno : 0;
  std::fclose(file);
  if (failure) return result(std::in_place_index<1>, std::strerror(failure));
  return result(std::in_place_index<0>, std::move(text));
}

// An interrupt is how a session is meant to end early: it ends in order, with success.
enum exit_status { done = cli::exit_success, component_failed = cli::exit_failure, bad_input = cli::exit_usage };

}  // namespace

int main() {
  auto read = read_options();
  if (const int* status = std::get_if<int>(&read)) return *status;
  const options& chosen = std::get<options>(read);

  const std::string playlist_name = text::utf8_from_utf16(chosen.playlist);
  const auto text = read_file(chosen.playlist);
  if (text.index() == 1) {
    complain("cannot read " + playlist_name + ": " + std::get<1>(text));
    return bad_input;
  }
  playlist::parsed list;
  try {
    list = playlist::parse(std::get<0>(text), playlist_name);
  } catch (const playlist::error& fault) {
    complain(fault.what());
    return bad_input;
  }

  const console::utf8_output utf8_output;
  component_session session(chosen.verbose);
  if (!session.load(component_session::module_file(chosen.component))) return component_failed;
  // Registered after the module's own handlers, so it is asked first: an
  // interrupt ends playback in order instead of ending the process.
  real_time::catch_interrupts();
  if (!session.start()) return component_failed;

  player::playback_report report;
  if (chosen.verbose) report.event = [](const std::string& line) { console::print("[event] " + line); };
  report.failure = [](const std::string& problem) { complain(problem); };
  player::pace speed{chosen.pace, std::nullopt};
  if (chosen.step_ms) speed.each_step = std::chrono::milliseconds(*chosen.step_ms);
  player::playback playback(list.steps, session.handlers(), speed, std::move(report));
  if (!real_time::play(playback)) complain("interrupted");
  return session.quit(playback.kept_track_references()) ? done : component_failed;
}
