// vek-ipc-read: prints what the player publishes in the title of its
// message-only window, as one JSON line, with --tune one tune payload, or with
// --text one readable line. With --watch it polls until interrupted and prints
// a line whenever the printed line changes, the window appearing and
// disappearing included ("absent" when there is no window). An undecodable
// title is reported on standard error and leaves the last printed state
// standing. Exit status: 0; 1 when a single read finds an undecodable title or
// standard output fails; 2 for bad usage.
#include <windows.h>
// After windows.h, which it needs.
#include <shellapi.h>

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
#include "wire/format.h"

namespace {

// Several looks at every state that lasts 100 ms, at little cost while idle.
constexpr DWORD poll_interval_ms = 25;

std::atomic<bool> interrupted{false};

// Ctrl+C and the like end the watch between two polls, with status 0.
BOOL WINAPI on_console_event(DWORD) {
  interrupted = true;
  return TRUE;
}

// Reads the title of the player's window into a buffer kept between reads.
class title_reader {
 public:
  // The title, valid until the next read, or nothing when there is no window.
  std::optional<std::string_view> read() {
    const HWND window = FindWindowExW(HWND_MESSAGE, nullptr, wire::window_class, nullptr);
    if (!window) return std::nullopt;
    for (;;) {
      // GetWindowTextA reads another process's title without sending it a
      // message, so a busy player cannot stall the reader.
      const int copied = GetWindowTextA(window, buffer_.data(), static_cast<int>(buffer_.size()));
      if (copied == 0 && !IsWindow(window)) return std::nullopt;  // gone since it was found
      if (static_cast<std::size_t>(copied) + 1 < buffer_.size()) return std::string_view(buffer_.data(), copied);
      // The buffer is full, so the title may go on: size it from the window
      // and read again (the title may also have grown in between).
      const int length = GetWindowTextLengthA(window);
      const std::size_t doubled = buffer_.size() < INT_MAX / 2 ? buffer_.size() * 2 : INT_MAX;
      buffer_.resize(length > 0 && static_cast<std::size_t>(length) + 2 > doubled ? length + 2 : doubled);
    }
  }

 private:
  std::string buffer_ = std::string(4096, '\0');
};

constexpr char tune_help[] =
    "  vek-tune-publish and vek-mpris read these lines:\n"
    "  vek-ipc-read --watch | vek-tune-publish ...\n"
    "--tune prints the XEP-0118 <tune/> payload instead (the empty <tune/> when\n"
    "  nothing plays). It is NOT the input of vek-tune-publish, which reads the\n"
    "  JSON lines.\n";

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
  bool watch = false;
  app.add_flag("--watch", watch, "keep reading until Ctrl+C; print a line at every change");
  const reader::format_options formats(app);
  cli::follow_convention(app, "vek-ipc-read [--watch] [--tune | --text]",
                         "Reads what the player publishes (in the title of the hidden window of the\n"
                         "VEK IPC component) and prints it: once, or with --watch at every change.",
                         reader::json_lines_help(
                             "Output, one line per state (with --watch, one more at every change):", true) +
                             tune_help + reader::text_help(true) + status_help);
  if (const auto status = cli::parse_command_line(app)) return *status;
  const auto format = formats.format();
  SetConsoleCtrlHandler(on_console_event, TRUE);
  // JSON and the payload are ASCII: the console's code page shows them as they are.
  line_writer output(format == reader::output_format::text);

  title_reader player_window;
  std::optional<std::string> last_title;  // nothing: no window
  std::string last_line;
  int status = 0;
  for (bool first = true; !interrupted; first = false) {
    const std::optional<std::string_view> title = player_window.read();
    if (first || title != last_title) {
      last_title = title ? std::optional<std::string>(*title) : std::nullopt;
      const reader::decode_result decoded =
          title ? reader::decode_title(*title) : reader::now_playing{reader::player_state::absent, {}, {}};
      if (const auto* error = std::get_if<reader::decode_error>(&decoded)) {
        std::fprintf(stderr, "vek-ipc-read: undecodable title: %s\n", reader::describe(*error).c_str());
        std::fflush(stderr);
        status = cli::exit_failure;
      } else if (std::string line = reader::render(std::get<reader::now_playing>(decoded), format); line != last_line) {
        if (!output.write(line)) return cli::exit_failure;
        last_line = std::move(line);
      }
    }
    if (!watch) return status;
    Sleep(poll_interval_ms);
  }
  return cli::exit_success;
}
