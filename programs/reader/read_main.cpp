// vek-ipc-read: prints what the player publishes in the title of its
// message-only window, as one JSON line, with --tune one tune payload, or with
// --text one readable line. With --watch it polls until interrupted and prints
// a line whenever the printed line changes, the window appearing and
// disappearing included ("absent" when there is no window); with
// --until-prefix-idle the watch also ends once nothing but Wine's own
// processes has run in the prefix for a while. An undecodable title is
// reported on standard error and leaves the last printed state standing.
// Exit status: 0; 1 when a single read finds an undecodable title or
// standard output fails; 2 for bad usage.
#include <windows.h>
// After windows.h, which they need.
#include <shellapi.h>
#include <tlhelp32.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "cli/command_line.h"
#include "reading/format_options.h"
#include "text/utf16.h"
#include "wine_prefix/lifecycle.h"
#include "wire/format.h"

namespace {

// A present window: several looks at every state that lasts 100 ms, at
// little cost while idle. No window (the player starting, or another program
// of the prefix running): each look is a round trip to wineserver, so they
// are few; a window that appears is still seen within half a second.
constexpr DWORD present_poll_ms = 25;
constexpr DWORD absent_poll_ms = 500;

// Ctrl+C and the like end the watch after the current pause, with status 0.
// The pause is a plain Sleep: waiting on an event instead would cost a round
// trip to wineserver at every poll.
std::atomic<bool> interrupted{false};

BOOL WINAPI on_console_event(DWORD) {
  interrupted = true;
  return TRUE;
}

// Whether the prefix runs a program besides Wine's own processes, this one and
// its children (a console host). When the list cannot be read, it says yes,
// so that the watch goes on.
bool prefix_runs_a_program() {
  const HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  if (snapshot == INVALID_HANDLE_VALUE) return true;
  const DWORD self = GetCurrentProcessId();
  PROCESSENTRY32W entry{};
  entry.dwSize = sizeof entry;
  bool found = false;
  for (BOOL more = Process32FirstW(snapshot, &entry); more && !found; more = Process32NextW(snapshot, &entry)) {
    if (entry.th32ProcessID == self || entry.th32ParentProcessID == self) continue;
    found = !wine_prefix::is_own_process(std::wstring_view(entry.szExeFile));
  }
  CloseHandle(snapshot);
  return found;
}

// Reads the title of the player's window into a buffer kept between reads.
// The window is kept between reads too: each call to the window system is a
// round trip to wineserver, and a present window is read 40 times a second.
class title_reader {
 public:
  // The title, valid until the next read, or nothing when there is no window.
  std::optional<std::string_view> read() {
    for (;;) {
      const bool kept = window_ != nullptr;
      if (!kept) window_ = FindWindowExW(HWND_MESSAGE, nullptr, wire::window_class, nullptr);
      if (!window_) return std::nullopt;
      // GetWindowTextA reads another process's title without sending it a
      // message, so a busy player cannot stall the reader.
      const int copied = GetWindowTextA(window_, buffer_.data(), static_cast<int>(buffer_.size()));
      if (copied == 0 && !IsWindow(window_)) {
        // Gone since it was found; the player may have made a new one since
        // the last read.
        window_ = nullptr;
        if (kept) continue;
        return std::nullopt;
      }
      if (static_cast<std::size_t>(copied) + 1 < buffer_.size()) return std::string_view(buffer_.data(), copied);
      // The buffer is full, so the title may go on: size it from the window
      // and read again (the title may also have grown in between).
      const int length = GetWindowTextLengthA(window_);
      const std::size_t doubled = buffer_.size() < INT_MAX / 2 ? buffer_.size() * 2 : INT_MAX;
      buffer_.resize(length > 0 && static_cast<std::size_t>(length) + 2 > doubled ? length + 2 : doubled);
    }
  }

 private:
  HWND window_ = nullptr;
  std::string buffer_ = std::string(4096, '\0');
};

constexpr char tune_help[] =
    "  vek-tune-publish and vek-mpris read these lines:\n"
    "  vek-ipc-read --watch | vek-tune-publish ...\n"
    "--tune prints the XEP-0118 <tune/> payload instead (the empty <tune/> when\n"
    "  nothing plays). It is NOT the input of vek-tune-publish, which reads the\n"
    "  JSON lines.\n";

constexpr char watch_help[] = "--watch looks at a window every 25 ms; while there is none, every 0.5 s.\n";

// Wine's own processes, which --until-prefix-idle passes over, for --help.
std::string own_processes_help() {
  std::string text = "--until-prefix-idle passes over Wine's own processes:";
  std::size_t column = text.size();
  for (const std::string_view own : wine_prefix::own_processes) {
    if (column + own.size() + 2 > 78) {
      text += "\n ";
      column = 1;
    }
    text += " " + std::string(own) + ",";
    column += own.size() + 2;
  }
  text.back() = '.';
  return text + "\n";
}

constexpr char status_help[] =
    "An undecodable title prints nothing and is reported on standard error as\n"
    "  vek-ipc-read: undecodable title: entry E, byte B: what is wrong\n"
    "and the last printed state stands; a watch goes on.\n"
    "Exit status: 0 done, also a watch ended by Ctrl+C; 1 a single read found an\n"
    "undecodable title, or the output failed; 2 usage error.\n";

// Writes whole lines to standard output: UTF-16 through WriteConsoleW when it
// is a console, which shows every character whatever the console's code page;
// otherwise the UTF-8 bytes (line ends as the C runtime writes them: CR LF).
class line_writer {
 public:
  explicit line_writer(bool unicode_console) {
    DWORD mode;
    console_ = GetStdHandle(STD_OUTPUT_HANDLE);
    if (!unicode_console || !console_ || console_ == INVALID_HANDLE_VALUE || !GetConsoleMode(console_, &mode)) {
      console_ = nullptr;
    }
  }

  bool write(const std::string& line) {
    if (!console_) {
      std::fputs(line.c_str(), stdout);
      std::fputc('\n', stdout);
      return std::fflush(stdout) == 0 && !std::ferror(stdout);
    }
    // The line is valid UTF-8 (the output code makes it so), so this loses nothing.
    const std::wstring wide = text::utf16_from_utf8(line) + L"\r\n";
    for (std::size_t done = 0; done < wide.size();) {
      DWORD written = 0;
      const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(wide.size() - done, 16384));
      if (!WriteConsoleW(console_, wide.data() + done, chunk, &written, nullptr) || written == 0) return false;
      done += written;
    }
    return true;
  }

 private:
  HANDLE console_;
};

}  // namespace

int main() {
  CLI::App app{"", "vek-ipc-read"};
  bool watch = false, until_prefix_idle = false;
  auto* watch_flag = app.add_flag("--watch", watch, "keep reading until Ctrl+C; print a line at every change");
  app.add_flag("--until-prefix-idle", until_prefix_idle,
               "with --watch: also end (status 0) once there is no window and nothing but\n"
               "Wine's own processes has run in the Wine prefix for 5 s")
      ->needs(watch_flag);
  const reading::format_options formats(app);
  cli::follow_convention(
      app, "vek-ipc-read [--watch [--until-prefix-idle]] [--tune | --text]",
      "Reads what the player publishes (in the title of the hidden window of the\n"
      "VEK IPC component) and prints it: once, or with --watch at every change.",
      reading::json_lines_help("Output, one line per state (with --watch, one more at every change):", true) +
          tune_help + reading::text_help(true) + watch_help + own_processes_help() + status_help);
  if (const auto status = cli::parse_command_line(app)) return *status;
  const auto format = formats.format();
  SetConsoleCtrlHandler(on_console_event, TRUE);
  // JSON and the payload are ASCII: the console's code page shows them as they are.
  line_writer output(format == reading::output_format::text);

  title_reader player_window;
  std::optional<std::string> last_title;  // nothing: no window
  std::string last_line;
  int status = 0;
  wine_prefix::idle_watch idle;
  for (bool first = true; !interrupted; first = false) {
    const std::optional<std::string_view> title = player_window.read();
    if (first || title != last_title) {
      last_title = title ? std::optional<std::string>(*title) : std::nullopt;
      const reading::decode_result decoded =
          title ? reading::decode_title(*title) : reading::now_playing{reading::player_state::absent, {}, {}};
      if (const auto* error = std::get_if<reading::decode_error>(&decoded)) {
        std::fprintf(stderr, "vek-ipc-read: undecodable title: %s\n", reading::describe(*error).c_str());
        std::fflush(stderr);
        status = cli::exit_failure;
      } else if (std::string line = reading::render(std::get<reading::now_playing>(decoded), format);
                 line != last_line) {
        if (!output.write(line)) return cli::exit_failure;
        last_line = std::move(line);
      }
    }
    if (!watch) return status;
    if (until_prefix_idle &&
        idle.idle_long_enough(wine_prefix::clock::now(), title.has_value() || prefix_runs_a_program()))
      return cli::exit_success;
    Sleep(title ? present_poll_ms : absent_poll_ms);
  }
  return cli::exit_success;
}
