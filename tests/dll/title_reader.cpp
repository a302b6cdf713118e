// Reads the IPC window's title from another process, as the messaging
// client's side does, and prints it verbatim: "window: <title>" or "no window".
#include <windows.h>

#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <string>

int main() {
  _setmode(_fileno(stdout), _O_BINARY);  // the title verbatim, no CR added
  HWND window = FindWindowExW(HWND_MESSAGE, nullptr, L"{C228F795-8913-40ec-A81B-486BB773FF5F}", nullptr);
  if (!window) {
    std::fputs("no window\n", stdout);
    return 0;
  }
  std::string title;
  for (;;) {  // the title may grow between the two calls
    const int length = GetWindowTextLengthA(window);
    title.assign(static_cast<std::size_t>(length) + 1, '\0');
    const int copied = GetWindowTextA(window, title.data(), length + 1);
    if (copied < length || GetWindowTextLengthA(window) == length) {
      title.resize(static_cast<std::size_t>(copied));
      break;
    }
  }
  std::printf("window: %s\n", title.c_str());
  return 0;
}
