// vek-ipc-read as a separate process against a window that this test owns
// and changes on a schedule, as the player would: every state that lasts
// 100 ms must be printed once, in order, the window's coming and going
// included; an undecodable title goes to standard error only.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <variant>
#include <vector>

#include "tests/reader/title_writer.h"
#include "tools/reader/output.h"

namespace {

constexpr wchar_t window_class[] = L"{C228F795-8913-40ec-A81B-486BB773FF5F}";
constexpr DWORD state_ms = 100;
constexpr DWORD start_timeout_ms = 30000;  // a first Wine process start can be slow

// Keeps the message queue served while time passes, as a player's thread would.
void hold(DWORD ms) {
  const DWORD start = GetTickCount();
  for (DWORD elapsed = 0; elapsed < ms; elapsed = GetTickCount() - start) {
    MsgWaitForMultipleObjects(0, nullptr, FALSE, ms - elapsed, QS_ALLINPUT);
    MSG message;
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&message);
  }
}

class player_window {
 public:
  player_window() {
    WNDCLASSW description{};
    if (!GetClassInfoW(GetModuleHandleW(nullptr), window_class, &description)) {
      description.lpfnWndProc = DefWindowProcW;
      description.hInstance = GetModuleHandleW(nullptr);
      description.lpszClassName = window_class;
      RegisterClassW(&description);
    }
  }
  ~player_window() { destroy(); }

  void create() {
    window_ = CreateWindowExW(0, window_class, L"", WS_POPUP, 0, 0, 1, 1, HWND_MESSAGE, nullptr,
                              GetModuleHandleW(nullptr), nullptr);
    ASSERT_NE(window_, nullptr);
  }
  void set_title(const std::string& title) { ASSERT_TRUE(SetWindowTextA(window_, title.c_str())); }
  void destroy() {
    if (window_) DestroyWindow(window_);
    window_ = nullptr;
  }

 private:
  HWND window_ = nullptr;
};

// Everything a child writes into one pipe, gathered by a thread of its own.
class pipe_collector {
 public:
  pipe_collector() {
    InitializeCriticalSection(&lock_);
    SECURITY_ATTRIBUTES inheritable{sizeof inheritable, nullptr, TRUE};
    CreatePipe(&read_end_, &write_end_, &inheritable, 0);
    SetHandleInformation(read_end_, HANDLE_FLAG_INHERIT, 0);
    thread_ = CreateThread(nullptr, 0, collect, this, 0, nullptr);
  }
  ~pipe_collector() {
    close_write_end();
    WaitForSingleObject(thread_, INFINITE);  // ends once every writer is gone
    CloseHandle(thread_);
    CloseHandle(read_end_);
    DeleteCriticalSection(&lock_);
  }

  HANDLE write_end() const { return write_end_; }
  void close_write_end() {
    if (write_end_) CloseHandle(write_end_);
    write_end_ = nullptr;
  }
  void wait_until_closed() { WaitForSingleObject(thread_, 10000); }

  // The complete lines so far, line breaks (CR LF from text mode) removed.
  std::vector<std::string> lines() {
    EnterCriticalSection(&lock_);
    const std::string text = text_;
    LeaveCriticalSection(&lock_);
    std::vector<std::string> lines;
    for (std::size_t start = 0, end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
      lines.push_back(text.substr(start, end - start));
      if (!lines.back().empty() && lines.back().back() == '\r') lines.back().pop_back();
    }
    return lines;
  }

 private:
  static DWORD WINAPI collect(void* self_pointer) {
    auto* self = static_cast<pipe_collector*>(self_pointer);
    char chunk[4096];
    DWORD got;
    while (ReadFile(self->read_end_, chunk, sizeof chunk, &got, nullptr) && got > 0) {
      EnterCriticalSection(&self->lock_);
      self->text_.append(chunk, got);
      LeaveCriticalSection(&self->lock_);
    }
    return 0;
  }

  CRITICAL_SECTION lock_;
  HANDLE read_end_ = nullptr, write_end_ = nullptr, thread_ = nullptr;
  std::string text_;
};

std::wstring reader_path() {
  wchar_t own[MAX_PATH];
  const DWORD size = GetModuleFileNameW(nullptr, own, MAX_PATH);
  std::wstring path(own, size);
  path.erase(path.find_last_of(L"\\/") + 1);
  for (const char* c = VEK_IPC_READ_FROM_TEST; *c; ++c) path += *c == '/' ? L'\\' : static_cast<wchar_t>(*c);
  return path;
}

class reader_process {
 public:
  explicit reader_process(const std::wstring& options) {
    std::wstring command_line = L"\"" + reader_path() + L"\" " + options;
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = out.write_end();
    startup.hStdError = err.write_end();
    started_ =
        CreateProcessW(nullptr, command_line.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &process_);
    out.close_write_end();
    err.close_write_end();
  }
  ~reader_process() {
    if (!started_) return;
    TerminateProcess(process_.hProcess, 0);
    WaitForSingleObject(process_.hProcess, INFINITE);
    CloseHandle(process_.hThread);
    CloseHandle(process_.hProcess);
  }

  bool started() const { return started_; }
  bool wait_for_lines(std::size_t count, DWORD timeout_ms) {
    const DWORD start = GetTickCount();
    while (out.lines().size() < count) {
      if (GetTickCount() - start > timeout_ms) return false;
      hold(5);
    }
    return true;
  }
  DWORD exit_code(DWORD timeout_ms) {
    DWORD code = STILL_ACTIVE;
    if (WaitForSingleObject(process_.hProcess, timeout_ms) == WAIT_OBJECT_0)
      GetExitCodeProcess(process_.hProcess, &code);
    out.wait_until_closed();
    err.wait_until_closed();
    return code;
  }

  pipe_collector out, err;

 private:
  bool started_ = false;
  PROCESS_INFORMATION process_{};
};

// Lines for a failure message, each cut short: one of them is 130 KB long.
std::string abbreviated(const std::vector<std::string>& lines) {
  std::string text;
  for (const std::string& line : lines) {
    text += "  " + line.substr(0, 100) + (line.size() > 100 ? "... (" + std::to_string(line.size()) + " bytes)" : "") +
            "\n";
  }
  return text;
}

testing::AssertionResult same_lines(const std::vector<std::string>& actual, const std::vector<std::string>& expected) {
  if (actual == expected) return testing::AssertionSuccess();
  return testing::AssertionFailure() << "got:\n" << abbreviated(actual) << "expected:\n" << abbreviated(expected);
}

std::string expected_line(const std::string& title, reader::output_format format) {
  return reader::render(std::get<reader::now_playing>(reader::decode_title(title)), format);
}

const std::string absent_json = R"({"state":"absent"})";
const std::string song = reader_test::record_title({{"title", "Song"}, {"artist", "Band"}}, "215");
const std::string other = reader_test::record_title({{"title", "Other <&>"}, {"artist", "Gruppe \xC3\x9C"}}, "3600");
// Far longer than the reader's first buffer.
const std::string long_one = reader_test::record_title({{"comment", std::string(100000, 'x')}}, "1");

TEST(reader_watch, prints_every_state_once_in_order) {
  player_window window;
  reader_process reader(L"--watch");
  ASSERT_TRUE(reader.started());
  ASSERT_TRUE(reader.wait_for_lines(1, start_timeout_ms));

  window.create();
  hold(state_ms);
  window.set_title(song);
  hold(state_ms);
  window.set_title("STOP");
  hold(state_ms);
  window.set_title(other);
  hold(state_ms);
  window.set_title(long_one);
  hold(state_ms);
  window.set_title("dGl0bGUA");  // undecodable: reported, not printed
  hold(state_ms);
  window.set_title(song);
  hold(state_ms);
  window.destroy();  // player quits
  hold(state_ms);
  window.create();  // and starts again
  hold(state_ms);
  window.set_title("STOP");
  hold(state_ms);
  window.destroy();

  const auto json = reader::output_format::json;
  const std::vector<std::string> expected = {
      absent_json,
      R"({"state":"none"})",
      expected_line(song, json),
      R"({"state":"stopped"})",
      expected_line(other, json),
      expected_line(long_one, json),
      expected_line(song, json),
      absent_json,
      R"({"state":"none"})",
      R"({"state":"stopped"})",
      absent_json,
  };
  reader.wait_for_lines(expected.size(), 5000);
  hold(4 * state_ms);  // nothing more may follow
  EXPECT_TRUE(same_lines(reader.out.lines(), expected));
  EXPECT_EQ(reader.err.lines(),
            std::vector<std::string>{"vek-ipc-read: undecodable title: entry 1, byte 8: missing ':' after the name"});
}

TEST(reader_watch, prints_a_tune_payload_only_when_it_changes) {
  player_window window;
  reader_process reader(L"--watch --tune");
  ASSERT_TRUE(reader.started());
  ASSERT_TRUE(reader.wait_for_lines(1, start_timeout_ms));
  window.create();  // none: the same empty payload as absent
  hold(state_ms);
  window.set_title(song);
  hold(state_ms);
  window.set_title("STOP");
  hold(state_ms);
  window.destroy();
  hold(state_ms);

  const std::string empty_tune = "<tune xmlns='http://jabber.org/protocol/tune'/>";
  const std::vector<std::string> expected = {empty_tune, expected_line(song, reader::output_format::tune), empty_tune};
  reader.wait_for_lines(expected.size(), 5000);
  hold(4 * state_ms);
  EXPECT_TRUE(same_lines(reader.out.lines(), expected));
}

TEST(reader_watch, a_single_read_prints_one_line_and_tells_by_its_exit_code) {
  player_window window;
  {
    reader_process reader(L"");
    ASSERT_TRUE(reader.started());
    EXPECT_EQ(reader.exit_code(start_timeout_ms), 0u);
    EXPECT_EQ(reader.out.lines(), std::vector<std::string>{absent_json});
  }
  window.create();
  window.set_title(other);
  {
    reader_process reader(L"");
    EXPECT_EQ(reader.exit_code(start_timeout_ms), 0u);
    EXPECT_TRUE(same_lines(reader.out.lines(), {expected_line(other, reader::output_format::json)}));
  }
  window.set_title("STOP;");
  {
    reader_process reader(L"");
    EXPECT_EQ(reader.exit_code(start_timeout_ms), 1u);
    EXPECT_TRUE(reader.out.lines().empty());
    EXPECT_EQ(reader.err.lines().size(), 1u);
  }
  {
    reader_process reader(L"--bogus");
    EXPECT_EQ(reader.exit_code(start_timeout_ms), 2u);
  }
}

}  // namespace
