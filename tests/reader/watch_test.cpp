// vek-ipc-read as separate processes against a window that this test owns and
// changes as the player would: every state that lasts 100 ms must be printed
// once, in order, the window's coming (seen within 0.5 s) and going included; an undecodable title
// goes to standard error only. This thread serves no messages meanwhile: the
// reader must not need the player's thread.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstdio>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "harness/title_writer.h"
#include "reading/output.h"
#include "wire/format.h"

namespace {

constexpr DWORD start_timeout_ms = 30000;  // a first Wine process start can be slow

// A file that a child process writes as its standard output or error.
struct capture {
  capture() {
    GetTempFileNameA(".", "vek", 0, path);
    SECURITY_ATTRIBUTES inheritable{sizeof inheritable, nullptr, TRUE};
    handle = CreateFileA(path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inheritable, CREATE_ALWAYS, 0, 0);
  }
  ~capture() { CloseHandle(handle), DeleteFileA(path); }
  // The complete lines so far, without their CR LF.
  std::vector<std::string> lines() const {
    std::string text;
    if (std::FILE* file = std::fopen(path, "rb")) {
      for (int c; (c = std::fgetc(file)) != EOF;) text += static_cast<char>(c);
      std::fclose(file);
    }
    std::vector<std::string> lines;
    for (std::size_t start = 0, end; (end = text.find("\r\n", start)) != std::string::npos; start = end + 2) {
      lines.push_back(text.substr(start, end - start));
    }
    return lines;
  }

  char path[MAX_PATH];
  HANDLE handle;
};

// vek-ipc-read, found relative to the working directory: this test's own.
struct reader_process {
  explicit reader_process(const std::string& options) {
    std::string command = "\"" VEK_IPC_READ_FROM_TEST "\" " + options;
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = out.handle, startup.hStdError = err.handle;
    CreateProcessA(nullptr, command.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &process);
  }
  ~reader_process() {
    TerminateProcess(process.hProcess, 0);
    WaitForSingleObject(process.hProcess, INFINITE);
    CloseHandle(process.hThread), CloseHandle(process.hProcess);
  }
  // Waits for `count` lines, then a while longer: nothing more may follow.
  std::vector<std::string> lines_after(std::size_t count, DWORD timeout_ms) const {
    const DWORD start = GetTickCount();
    while (out.lines().size() < count && GetTickCount() - start < timeout_ms) Sleep(5);
    Sleep(400);
    return out.lines();
  }

  capture out, err;
  PROCESS_INFORMATION process{};
};

TEST(reader_watch, prints_every_state_once_in_order) {
  const WNDCLASSW description{0, DefWindowProcW, 0, 0, GetModuleHandleW(nullptr), 0, 0, 0, 0, wire::window_class};
  ASSERT_TRUE(RegisterClassW(&description));
  const std::string song = reader_test::record_title({{"title", "Song"}, {"artist", "Band"}}, "215");
  const std::string other = reader_test::record_title({{"title", "Other <&>"}, {"artist", "Gruppe \xC3\x9C"}}, "3600");
  const std::string long_one = reader_test::record_title({{"comment", std::string(5000, 'x')}}, "1");  // > buffer
  // Each title for 100 ms; nothing: no window; "dGl0bGUA" and "STOP;" are undecodable.
  const std::optional<std::string> schedule[] = {"",   song,         "STOP", other,  long_one, "dGl0bGUA",
                                                 song, std::nullopt, "",     "STOP", "STOP;"};
  // Rendered before any reader starts: one left behind by a crash would hold the test's output open.
  auto line = [](const std::string& title, reading::output_format format) {
    return reading::render(std::get<reading::now_playing>(reading::decode_title(title)), format);
  };
  const auto j = reading::output_format::json, t = reading::output_format::tune;
  const std::string absent = R"({"state":"absent"})", none = R"({"state":"none"})", stopped = R"({"state":"stopped"})";
  const std::string empty_tune = "<tune xmlns='http://jabber.org/protocol/tune'/>";
  const std::vector<std::string> json_lines = {
      absent, none, line(song, j), stopped, line(other, j), line(long_one, j), line(song, j), absent, none, stopped};
  const std::vector<std::string> tune_lines = {empty_tune,        line(song, t), empty_tune, line(other, t),
                                               line(long_one, t), line(song, t), empty_tune};

  reader_process json("--watch"), tune("--tune --watch");
  ASSERT_EQ(json.lines_after(1, start_timeout_ms), std::vector{absent});
  ASSERT_EQ(tune.lines_after(1, start_timeout_ms), std::vector{empty_tune});
  HWND window = nullptr;
  for (const std::optional<std::string>& title : schedule) {
    // While there is no window the reader looks for one every 0.5 s: the
    // first title of a new window lasts long enough to be seen.
    const bool appears = title && !window;
    if (appears) window = CreateWindowExW(0, wire::window_class, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, 0, 0, 0);
    ASSERT_TRUE(!title || SetWindowTextA(window, title->c_str()));
    if (!title && window) DestroyWindow(window), window = nullptr;
    Sleep(appears ? 1000 : 100);
  }
  EXPECT_EQ(json.lines_after(json_lines.size(), 5000), json_lines);
  EXPECT_EQ(tune.lines_after(tune_lines.size(), 5000), tune_lines);
  const std::vector<std::string> faults = {
      "vek-ipc-read: undecodable title: entry 1, byte 8: missing ':' after the name",
      "vek-ipc-read: undecodable title: entry 1, byte 4: missing ':' after the name"};
  EXPECT_EQ(json.err.lines(), faults);
  EXPECT_EQ(tune.err.lines(), faults);

  // A single read reports an undecodable title with status 1 and prints nothing.
  reader_process single("");
  DWORD status = STILL_ACTIVE;
  WaitForSingleObject(single.process.hProcess, start_timeout_ms);
  EXPECT_TRUE(GetExitCodeProcess(single.process.hProcess, &status) && status == 1) << status;
  EXPECT_TRUE(single.out.lines().empty());
  EXPECT_EQ(single.err.lines().size(), 1u);
  DestroyWindow(window);
}

}  // namespace
