// vek-ipc-read: prints what the player publishes in the title of its
// message-only window, as one JSON line or with --tune one tune payload.
// With --watch it polls until interrupted and prints a line whenever the
// printed state changes, the window appearing and disappearing included
// ("absent" when there is no window). An undecodable title is reported on
// standard error and leaves the last printed state standing.
// Exit status: 0; 1 when a single read finds an undecodable title or standard
// output fails; 2 for bad usage.
#include <windows.h>

#include <atomic>
#include <climits>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "tools/reader/output.h"

namespace {

constexpr wchar_t window_class[] = L"{C228F795-8913-40ec-A81B-486BB773FF5F}";
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
    const HWND window = FindWindowExW(HWND_MESSAGE, nullptr, window_class, nullptr);
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

bool print_line(const std::string& line) {
  std::fputs(line.c_str(), stdout);
  std::fputc('\n', stdout);
  return std::fflush(stdout) == 0 && !std::ferror(stdout);
}

}  // namespace

int main(int argc, char** argv) {
  auto format = reader::output_format::json;
  bool watch = false;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--tune") == 0) {
      format = reader::output_format::tune;
    } else if (std::strcmp(argv[i], "--watch") == 0) {
      watch = true;
    } else {
      std::fprintf(stderr, "usage: vek-ipc-read [--tune] [--watch]\n");
      return 2;
    }
  }
  SetConsoleCtrlHandler(on_console_event, TRUE);

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
        status = 1;
      } else if (std::string line = reader::render(std::get<reader::now_playing>(decoded), format); line != last_line) {
        if (!print_line(line)) return 1;
        last_line = std::move(line);
      }
    }
    if (!watch) return status;
    Sleep(poll_interval_ms);
  }
  return 0;
}
