#include "player/console.h"

#include <windows.h>

#include <cstdio>

#include "text/utf16.h"

namespace console {

void print(std::string_view line) {
  std::fwrite(line.data(), 1, line.size(), stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
}

void complain(std::string_view message) {
  std::fprintf(stderr, "vek-player: %.*s\n", static_cast<int>(message.size()), message.data());
  std::fflush(stderr);
}

std::string system_message(unsigned long code, std::wstring_view subject) {
  wchar_t* text = nullptr;
  const DWORD length =
      FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                     nullptr, code, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
  std::wstring message(text ? text : L"", length);
  if (text) LocalFree(text);
  while (!message.empty() && (message.back() == L'\n' || message.back() == L'\r' || message.back() == L' '))
    message.pop_back();
  for (std::size_t at; (at = message.find(L"%1")) != message.npos;) message.replace(at, 2, subject);
  return message.empty() ? "error " + std::to_string(code) : text::utf8_from_utf16(message);
}

utf8_output::utf8_output() : code_page_(GetConsoleOutputCP()) { SetConsoleOutputCP(CP_UTF8); }

utf8_output::~utf8_output() {
  if (code_page_) SetConsoleOutputCP(code_page_);
}

}  // namespace console
