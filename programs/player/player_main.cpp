// vek-player: a stand-in for the media player. Loads foo_vek_ipc.dll the way
// the player does (export, client object, factories, services ready, start),
// plays a playlist file through the playback handler the component registers,
// at the playlist's own pace or a chosen one, then quits and unloads it.
// The command line, its output and its exit statuses are told by --help.
#include <windows.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <list>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "cli/command_line.h"
#include "host/interfaces.h"
#include "host/services.h"
#include "platform/exception_bridge.h"
#include "player/playlist.h"
#include "player_side/host_standin.h"

namespace {

constexpr wchar_t default_component[] = L"foo_vek_ipc.dll";
// The client interface this stand-in speaks.
constexpr std::uint32_t supported_interface_version = 76;
// Guards against a factory list that does not end.
constexpr int most_factories = 64;

constexpr char footer[] =
    "The playlist format is described in PLAYLIST.md (tools/player/PLAYLIST.md in\n"
    "the sources); sample.playlist beside it is a short session.\n"
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
    "(cannot be loaded, no start service, references kept after quit); 2 usage\n"
    "error, or the playlist cannot be read or is faulty (nothing is loaded).\n";

// --- Text ---

std::string utf8(std::wstring_view text) {
  if (text.empty()) return {};
  const int size =
      WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
  std::string converted(size, '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), converted.data(), size, nullptr, nullptr);
  return converted;
}

std::wstring wide(std::string_view text) {
  if (text.empty()) return {};
  const int size = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring converted(size, L'\0');
  MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), converted.data(), size);
  return converted;
}

// The system's own words for an error code, without the line break it ends
// with; `subject` stands in for the "%1" some of them hold.
std::string system_message(DWORD code, std::wstring_view subject) {
  wchar_t* text = nullptr;
  const DWORD length =
      FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                     nullptr, code, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
  std::wstring message(text ? text : L"", length);
  if (text) LocalFree(text);
  while (!message.empty() && (message.back() == L'\n' || message.back() == L'\r' || message.back() == L' '))
    message.pop_back();
  for (std::size_t at; (at = message.find(L"%1")) != message.npos;) message.replace(at, 2, subject);
  return message.empty() ? "error " + std::to_string(code) : utf8(message);
}

void print(std::string_view line) {
  std::fwrite(line.data(), 1, line.size(), stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
}

void complain(std::string_view message) {
  std::fprintf(stderr, "vek-player: %.*s\n", static_cast<int>(message.size()), message.data());
  std::fflush(stderr);
}

std::string guid_text(const guid& id) {
  char text[40];
  std::snprintf(text, sizeof text, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", id.data1, id.data2, id.data3,
                id.data4[0], id.data4[1], id.data4[2], id.data4[3], id.data4[4], id.data4[5], id.data4[6], id.data4[7]);
  return text;
}

std::string hex_text(std::uint32_t value) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%X", value);
  return text;
}

std::string seconds_text(double seconds) {
  char text[32];
  std::snprintf(text, sizeof text, "%g", seconds);
  return text;
}

// --- The player's objects ---

// The player's console: every line of text becomes one "[console] " line.
class printing_console_sink final : public counted_service<console_sink> {
 public:
  void write_text(const char* text, std::uint32_t length) override {
    std::size_t size = 0;
    while (size < length && text[size] != '\0') ++size;
    std::string_view rest(text, size);
    while (rest.ends_with('\n') || rest.ends_with('\r')) rest.remove_suffix(1);
    do {
      std::string_view line = rest.substr(0, rest.find('\n'));
      rest.remove_prefix(std::min(rest.size(), line.size() + 1));
      if (line.ends_with('\r')) line.remove_suffix(1);
      print("[console] " + std::string(line));
    } while (!rest.empty());
  }
};

// Set from the console's control thread; the playback thread notices it
// while it waits.
HANDLE interrupt_event = nullptr;

BOOL WINAPI on_console_event(DWORD) {
  SetEvent(interrupt_event);
  return TRUE;
}

// Playlist time mapped to wall time. Waiting serves the thread's message
// queue, as the player's main thread does for the window it owns.
class pacer {
 public:
  pacer(double pace, std::optional<int> step_ms) : pace_(pace), step_ms_(step_ms) {}

  // Wall milliseconds of a play or wait step of `seconds`.
  double step_length(double seconds) const { return step_ms_ ? *step_ms_ : seconds * 1000 / pace_; }

  // Waits until `offset_ms` after playback began; false when interrupted.
  bool wait_until(double offset_ms) {
    for (;;) {
      const double remaining =
          offset_ms - std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start_).count();
      const DWORD timeout = remaining > 0 ? static_cast<DWORD>(std::ceil(remaining)) : 0;
      if (MsgWaitForMultipleObjects(1, &interrupt_event, FALSE, timeout, QS_ALLINPUT) == WAIT_OBJECT_0) return false;
      MSG message;
      while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&message);
      if (timeout == 0) return true;
    }
  }

 private:
  double pace_;
  std::optional<int> step_ms_;
  std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
};

// The playback events in handler slot order. The stand-in's registry reads
// an event mask as one bit per event, bit n for slot n, so the component's
// 0xD6 asks for new_track, playback_stopped, pause_changed, dynamic_info and
// dynamic_info_track.
// clang-format off
enum class event : unsigned {
  playback_starting, new_track, playback_stopped, seek, pause_changed,
  track_edited, dynamic_info, dynamic_info_track, time_tick, volume_changed
};
// clang-format on
constexpr const char* event_names[] = {"playback_starting", "new_track",     "playback_stopped", "seek",
                                       "pause_changed",     "track_edited",  "dynamic_info",     "dynamic_info_track",
                                       "time_tick",         "volume_changed"};

std::string event_list(std::uint32_t mask) {
  std::string names;
  for (unsigned bit = 0; bit < std::size(event_names); ++bit)
    if (mask >> bit & 1) names += (names.empty() ? "" : ", ") + std::string(event_names[bit]);
  return names.empty() ? "none" : names;
}

// Carries the playlist's steps out on the registered handlers, each getting
// only the events its mask asks for.
class playback {
 public:
  // The handlers as registered now: a registration during an event does not
  // change whom that event reaches.
  playback(std::vector<player_callback_registry::registration> handlers, pacer& clock, bool verbose)
      : handlers_(std::move(handlers)), clock_(clock), verbose_(verbose) {}

  // False when interrupted; playback is then stopped.
  bool play(const std::vector<playlist::step>& steps) {
    for (const playlist::step& step : steps) {
      if (!perform(step)) {
        if (playing_) stop(step.line, playlist::stop_reason::user);
        return false;
      }
    }
    return true;
  }

  // Track references the handlers took and did not give back.
  std::int32_t kept_track_references() const {
    std::int32_t kept = 0;
    for (const player_track_handle& handle : track_handles_) kept += handle.balance();
    return kept;
  }

 private:
  template <class Call>
  void deliver(event what, std::size_t line, const std::string& detail, Call call) {
    bool announced = !verbose_;
    for (const player_callback_registry::registration& registered : handlers_) {
      if (!(registered.event_mask >> static_cast<unsigned>(what) & 1)) continue;
      if (!announced) {
        print("[event] line " + std::to_string(line) + ": " + event_names[static_cast<unsigned>(what)] +
              (detail.empty() ? "" : " " + detail));
        announced = true;
      }
      // A player reports a failing handler and goes on with the next one.
      try {
        platform::call_player([&] { call(registered.handler); });
      } catch (const std::exception& error) {
        complain("line " + std::to_string(line) + ": the component failed: " + error.what());
      }
    }
  }

  void deliver_info(event what, std::size_t line, const playlist::track_state& track) {
    std::vector<player_field> fields;
    std::string detail;
    for (const playlist::field& field : track.fields) {
      fields.push_back({field.name, field.values, true});
      detail += field.name + "=";
      for (std::size_t i = 0; i < field.values.size(); ++i) detail += (i ? "|" : "") + field.values[i];
      detail += "; ";
    }
    detail += "length " + seconds_text(track.length_seconds) + " s";
    const player_track_info info(std::move(fields), track.length_seconds);
    deliver(what, line, detail, [&info, what](play_callback* handler) {
      if (what == event::dynamic_info) {
        handler->dynamic_info(&info);
      } else {
        handler->dynamic_info_track(&info);
      }
    });
  }

  void stop(std::size_t line, playlist::stop_reason reason) {
    const auto code = static_cast<std::uint32_t>(reason);
    deliver(event::playback_stopped, line, reason == playlist::stop_reason::user ? "user" : "end of playlist",
            [code](play_callback* handler) { handler->playback_stopped(code); });
    playing_ = false;
  }

  bool pass_time(double seconds) {
    wall_ms_ += clock_.step_length(seconds);
    return clock_.wait_until(wall_ms_);
  }

  bool perform(const playlist::step& step) {
    using kind = playlist::step::kind;
    switch (step.what) {
      case kind::start_track: {
        if (step.from_stopped) {
          deliver(event::playback_starting, step.line, "",
                  [](play_callback* handler) { handler->playback_starting(0, false); });
        }
        player_track_handle& track = track_handles_.emplace_back();
        deliver(event::new_track, step.line, "", [&track](play_callback* handler) {
          track.add_reference();  // the handler owns this one
          handler->new_track(&track);
        });
        deliver_info(event::dynamic_info, step.line, step.state);
        playing_ = true;
        return true;
      }
      case kind::update:
        deliver_info(event::dynamic_info, step.line, step.state);
        deliver_info(event::dynamic_info_track, step.line, step.state);
        return true;
      case kind::play: {
        // A tick at each whole second of the track reached while playing.
        const double begin_ms = wall_ms_, length_ms = clock_.step_length(step.seconds);
        for (double tick = std::floor(step.position) + 1; tick <= step.position + step.seconds; ++tick) {
          if (!clock_.wait_until(begin_ms + length_ms * (tick - step.position) / step.seconds)) return false;
          deliver(event::time_tick, step.line, seconds_text(tick),
                  [tick](play_callback* handler) { handler->time_tick(tick); });
        }
        return pass_time(step.seconds);
      }
      case kind::wait:
        return pass_time(step.seconds);
      case kind::pause:
      case kind::resume: {
        const bool paused = step.what == kind::pause;
        deliver(event::pause_changed, step.line, paused ? "paused" : "resumed",
                [paused](play_callback* handler) { handler->pause_changed(paused); });
        return true;
      }
      case kind::seek:
        deliver(event::seek, step.line, seconds_text(step.position) + " s",
                [&step](play_callback* handler) { handler->seek(step.position); });
        return true;
      case kind::stop:
        stop(step.line, step.reason);
        return true;
    }
    return true;
  }

  const std::vector<player_callback_registry::registration> handlers_;
  pacer& clock_;
  bool verbose_;
  double wall_ms_ = 0;
  bool playing_ = false;
  std::list<player_track_handle> track_handles_;  // stay put while handlers may hold them
};

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
  chosen.component = wide(component);
  chosen.playlist = wide(playlist_path);
  return chosen;
}

// The file of `module`; null for this program.
std::wstring module_path(HMODULE module) {
  std::wstring path(MAX_PATH, L'\0');
  for (;;) {
    const DWORD length = GetModuleFileNameW(module, path.data(), static_cast<DWORD>(path.size()));
    if (length < path.size()) return path.substr(0, length);
    path.resize(path.size() * 2);
  }
}

std::wstring file_name_of(const std::wstring& path) { return path.substr(path.find_last_of(L"\\/") + 1); }

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

// The answer of one identity operation.
template <class Operation>
std::string ask(componentversion* identity, Operation operation) {
  player_host_string answer;
  (identity->*operation)(answer);
  return answer.text();
}

struct published_service {
  guid class_id;
  service_ref instance;
};

// An interrupt is how a session is meant to end early: it ends in order, with success.
enum exit_status { done = cli::exit_success, component_failed = cli::exit_failure, bad_input = cli::exit_usage };

// One session with the loaded module: entry, start, playback, quit. The
// module stays loaded until the caller frees it, after every reference into
// it has been dropped.
exit_status run_component(HMODULE module, const playlist::parsed& list, const options& chosen) {
  using entry_point = component_client*(__cdecl*)(host_api*, HINSTANCE);
  const auto entry =
      reinterpret_cast<entry_point>(reinterpret_cast<void*>(GetProcAddress(module, "foobar2000_get_interface")));
  if (!entry) {
    complain("the module has no export foobar2000_get_interface");
    return component_failed;
  }

  player_host_api api;
  printing_console_sink console;
  player_callback_registry registry;
  api.add_service(console);
  api.add_service(registry);

  component_client* client = entry(&api, module);
  const std::uint32_t version = client->interface_version();
  if (version != supported_interface_version) {
    complain("the module speaks client interface version " + std::to_string(version) + ", not " +
             std::to_string(supported_interface_version));
    return component_failed;
  }

  const std::wstring path = module_path(module);
  const std::string path_text = utf8(path), file_name = utf8(file_name_of(path));
  if (chosen.verbose) print("[player] module " + path_text + ", client interface " + std::to_string(version));

  std::list<published_service> services;
  int records = 0;
  for (service_factory_base* factory = client->first_factory(); factory; factory = factory->next_factory) {
    if (++records > most_factories) {
      complain("the factory list does not end");
      return component_failed;
    }
    published_service& published = services.emplace_back(*factory->class_guid);
    factory->create_instance(&published.instance);
    if (chosen.verbose) print("[player] service " + guid_text(published.class_id));
  }
  auto find = [&services](const guid& class_id) -> service_base* {
    for (const published_service& published : services)
      if (published.class_id == class_id) return published.instance.get();
    return nullptr;
  };

  client->set_module_location(path_text.c_str(), file_name.c_str());
  client->set_services_ready(1);

  if (auto* identity = static_cast<componentversion*>(find(componentversion::class_id))) {
    print("loaded " + ask(identity, &componentversion::component_name) + " " +
          ask(identity, &componentversion::component_version) + " (" + ask(identity, &componentversion::file_name) +
          ")");
    if (chosen.verbose) print("[player] about: " + ask(identity, &componentversion::about_text));
  } else {
    print("loaded " + file_name + " (no identity service)");
  }

  auto* lifecycle = static_cast<initquit*>(find(initquit::class_id));
  if (!lifecycle) {
    complain("the module publishes no start service");
    return component_failed;
  }
  try {
    platform::call_player([lifecycle] { lifecycle->start(); });
  } catch (const std::exception& error) {
    complain(std::string("the component's start failed: ") + error.what());
  }

  const auto& handlers = registry.registrations();
  if (handlers.empty()) complain("warning: no playback handler was registered; no events are delivered");
  if (chosen.verbose) {
    for (const auto& registered : handlers)
      print("[player] handler registered for events " + hex_text(registered.event_mask) + ": " +
            event_list(registered.event_mask));
  }

  pacer clock(chosen.pace, chosen.step_ms);
  playback session(handlers, clock, chosen.verbose);
  const bool finished = session.play(list.steps);
  if (!finished) complain("interrupted");

  lifecycle->quit();
  services.clear();

  exit_status status = done;
  auto check_kept = [&status](std::int32_t kept, const char* what) {
    if (kept == 0) return;
    complain("the component kept " + std::to_string(kept) + " reference(s) to " + what);
    status = component_failed;
  };
  check_kept(session.kept_track_references(), "track handles");
  check_kept(registry.balance(), "the playback-callback registry");
  check_kept(console.balance(), "the console");
  return status;
}

}  // namespace

int main() {
  auto read = read_options();
  if (const int* status = std::get_if<int>(&read)) return *status;
  const options* chosen = &std::get<options>(read);

  const std::string playlist_name = utf8(chosen->playlist);
  const auto text = read_file(chosen->playlist);
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

  const UINT console_code_page = GetConsoleOutputCP();
  SetConsoleOutputCP(CP_UTF8);
  interrupt_event = CreateEventW(nullptr, TRUE, FALSE, nullptr);

  std::wstring component = chosen->component;
  if (component.empty()) {
    const std::wstring own_path = module_path(nullptr);
    component = own_path.substr(0, own_path.size() - file_name_of(own_path).size()) + default_component;
  } else {
    // A bare file name would make LoadLibrary search the program's folder
    // first; the user means the file relative to the current folder.
    wchar_t full[MAX_PATH];
    const DWORD length = GetFullPathNameW(component.c_str(), MAX_PATH, full, nullptr);
    if (length > 0 && length < MAX_PATH) component.assign(full, length);
  }
  const HMODULE module = LoadLibraryW(component.c_str());
  exit_status status = component_failed;
  if (!module) {
    complain("cannot load " + utf8(component) + ": " + system_message(GetLastError(), L"the module"));
  } else {
    // Registered after the module's own handlers, so it is asked first: an
    // interrupt ends playback in order instead of ending the process.
    SetConsoleCtrlHandler(on_console_event, TRUE);
    status = run_component(module, list, *chosen);
    FreeLibrary(module);
  }
  if (console_code_page) SetConsoleOutputCP(console_code_page);
  return status;
}
