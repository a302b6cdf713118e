// vek-player with the real module, as separate processes beside this test:
// a watching vek-ipc-read must see every state the session publishes, in
// order, from the window's appearance to its removal at quit.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstdint>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace {

constexpr DWORD start_timeout_ms = 30000;  // a first Wine process start can be slow
constexpr DWORD run_timeout_ms = 60000;

std::wstring sibling(const wchar_t* file_name) {
  wchar_t path[MAX_PATH];
  const std::wstring own(path, GetModuleFileNameW(nullptr, path, MAX_PATH));
  return own.substr(0, own.find_last_of(L"\\/") + 1) + file_name;
}

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  for (std::size_t start = 0; start < text.size();) {
    std::size_t end = text.find('\n', start);
    if (end == std::string::npos) break;  // an unfinished line is not a line yet
    std::string line = text.substr(start, end - start);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(std::move(line));
    start = end + 1;
  }
  return lines;
}

// A playlist written to a temporary file for one test.
class temp_playlist {
 public:
  explicit temp_playlist(const std::string& text) {
    wchar_t directory[MAX_PATH], name[MAX_PATH];
    GetTempPathW(MAX_PATH, directory);
    GetTempFileNameW(directory, L"vpl", 0, name);
    path_ = name;
    HANDLE file = CreateFileW(name, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    DWORD written = 0;
    EXPECT_TRUE(WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr));
    CloseHandle(file);
  }
  ~temp_playlist() { DeleteFileW(path_.c_str()); }
  const std::wstring& path() const { return path_; }

 private:
  std::wstring path_;
};

// A program beside this test, its standard output and error gathered into
// one text by a thread of its own.
class child {
 public:
  child(const wchar_t* program, const std::wstring& arguments) {
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    HANDLE write_end = nullptr;
    if (!CreatePipe(&read_end_, &write_end, &inherit, 0)) {
      ADD_FAILURE() << "CreatePipe failed: " << GetLastError();
      return;
    }
    SetHandleInformation(read_end_, HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = write_end;
    startup.hStdError = write_end;
    PROCESS_INFORMATION process{};
    std::wstring command = L"\"" + sibling(program) + L"\" " + arguments;
    if (CreateProcessW(nullptr, command.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &process)) {
      CloseHandle(process.hThread);
      process_ = process.hProcess;
    } else {
      ADD_FAILURE() << "cannot start " << std::string(command.begin(), command.end()) << ": " << GetLastError();
    }
    CloseHandle(write_end);
    collector_ = std::thread([this] {
      char buffer[4096];
      DWORD got = 0;
      while (ReadFile(read_end_, buffer, sizeof buffer, &got, nullptr) && got) {
        const std::lock_guard<std::mutex> hold(mutex_);
        output_.append(buffer, got);
      }
    });
  }
  ~child() {
    terminate();
    if (collector_.joinable()) collector_.join();  // also when the program never started
    if (process_) CloseHandle(process_);
    if (read_end_) CloseHandle(read_end_);
  }

  // The exit code, or nothing when the program still runs after `timeout_ms`.
  // Once it has ended, its output is complete.
  std::optional<DWORD> wait(DWORD timeout_ms) {
    if (!process_ || WaitForSingleObject(process_, timeout_ms) != WAIT_OBJECT_0) return std::nullopt;
    if (collector_.joinable()) collector_.join();  // the pipe ends with the process
    DWORD code = 0;
    GetExitCodeProcess(process_, &code);
    return code;
  }
  void terminate() {
    if (!process_) return;
    TerminateProcess(process_, 99);
    wait(INFINITE);
  }
  // Everything written so far.
  std::string output() const {
    const std::lock_guard<std::mutex> hold(mutex_);
    return output_;
  }
  std::vector<std::string> lines() const { return lines_of(output()); }
  // Waits for the program's output to satisfy `done`.
  template <class Condition>
  bool wait_for_output(Condition done, DWORD timeout_ms) const {
    for (const DWORD start = GetTickCount(); !done(lines());) {
      if (GetTickCount() - start > timeout_ms) return false;
      Sleep(20);
    }
    return true;
  }

 private:
  HANDLE process_ = nullptr;
  HANDLE read_end_ = nullptr;
  std::thread collector_;
  mutable std::mutex mutex_;
  std::string output_;
};

std::wstring quoted(const std::wstring& text) { return L"\"" + text + L"\""; }

using fields = std::vector<std::pair<std::string, std::string>>;

struct published {
  std::string state;
  fields playing{};
  std::int64_t length = 0;
  friend bool operator==(const published&, const published&) = default;
  friend std::ostream& operator<<(std::ostream& out, const published& seen) {
    out << seen.state;
    for (const auto& [name, value] : seen.playing) out << " " << name << "=" << value;
    if (seen.state == "playing") out << " length=" << seen.length;
    return out;
  }
};

published parse_reader_line(const std::string& line) {
  const nlohmann::json state = nlohmann::json::parse(line, nullptr, false);
  if (state.is_discarded() || !state.contains("state")) {
    ADD_FAILURE() << "not a reader line: " << line;
    return {};
  }
  published seen{state["state"].get<std::string>()};
  if (seen.state == "playing") {
    for (const auto& field : state["fields"]) seen.playing.emplace_back(field[0], field[1]);
    seen.length = state["length"].get<std::int64_t>();
  }
  return seen;
}

// Every kind of step: tracks with several values, tags of awkward text,
// moving on without a stop, a pause and a seek (which publish nothing), a
// stream changing titles (once to the same information, which is not
// published again), a stop and a fresh start after it.
constexpr char session_playlist[] =
    "wait 1s\n"
    "track\n"
    "title = Hopp\xC3\xADpolla\n"
    "artist = Sigur R\xC3\xB3s\n"
    "artist = J\xC3\xB3nsi\n"
    "album = Takk...\n"
    "length = 268.4\n"
    "play 1s\n"
    "track\n"
    "title = Army of Me: Single Mix; 1995\n"
    "artist = Bj\xC3\xB6rk\n"
    "tracknumber = 1\n"
    "length = 234\n"
    "play 2s\n"
    "pause\n"
    "wait 1s\n"
    "seek 200\n"
    "resume\n"
    "play 1s\n"
    "track\n"
    "title = \xD0\xA0\xD0\xB0\xD0\xB4\xD0\xB8\xD0\xBE\n"
    "play 1s\n"
    "update title = \xD0\x9A\xD0\xB8\xD0\xBD\xD0\xBE\n"
    "update artist = A\n"
    "update artist = B\n"
    "play 1s\n"
    "update title = \xE5\xA4\x9C\xE3\x81\xAB\n"
    "play 1s\n"
    "update title = \xE5\xA4\x9C\xE3\x81\xAB\n"
    "play 1s\n"
    "stop\n"
    "wait 1s\n"
    "track\n"
    "title = After the stop\n"
    "length = 61.6\n"
    "play 1s\n"
    "stop\n"
    "wait 1s\n";

TEST(player_session, a_watching_reader_sees_every_published_state_in_order) {
  const temp_playlist playlist(session_playlist);
  child reader(L"vek-ipc-read.exe", L"--watch");
  ASSERT_TRUE(reader.wait_for_output([](const auto& lines) { return !lines.empty(); }, start_timeout_ms))
      << reader.output();
  ASSERT_EQ(reader.lines().front(), R"({"state":"absent"})") << "another IPC window exists";

  // Every play and wait step lasts 250 ms: ten looks by the reader.
  child player(L"vek-player.exe", L"--verbose --step-ms 250 " + quoted(playlist.path()));
  ASSERT_EQ(player.wait(run_timeout_ms), 0u) << player.output();
  EXPECT_TRUE(reader.wait_for_output(
      [](const auto& lines) { return lines.size() > 1 && lines.back() == R"({"state":"absent"})"; }, 10000))
      << reader.output();
  reader.terminate();

  std::vector<published> seen;
  for (const std::string& line : reader.lines()) seen.push_back(parse_reader_line(line));
  const std::vector<published> expected = {
      {"absent"},
      {"none"},
      {"playing", {{"title", "Hopp\xC3\xADpolla"}, {"artist", "Sigur R\xC3\xB3s"}, {"album", "Takk..."}}, 268},
      {"playing", {{"title", "Army of Me: Single Mix; 1995"}, {"artist", "Bj\xC3\xB6rk"}, {"tracknumber", "1"}}, 234},
      {"playing", {{"title", "\xD0\xA0\xD0\xB0\xD0\xB4\xD0\xB8\xD0\xBE"}}, 0},
      {"playing", {{"title", "\xD0\x9A\xD0\xB8\xD0\xBD\xD0\xBE"}, {"artist", "A"}}, 0},
      {"playing", {{"title", "\xE5\xA4\x9C\xE3\x81\xAB"}, {"artist", "A"}}, 0},
      {"stopped"},
      {"playing", {{"title", "After the stop"}}, 62},
      {"stopped"},
      {"absent"},
  };
  EXPECT_EQ(seen, expected);

  // The player's own account: the component's lines, its registration, and
  // only the events of mask 0xD6 delivered.
  const std::vector<std::string> said = player.lines();
  auto said_line = [&said](const std::string& line) { return std::count(said.begin(), said.end(), line); };
  EXPECT_EQ(said_line("loaded VEK IPC 0.3.0 (foo_vek_ipc.dll)"), 1);
  EXPECT_EQ(said_line("[console] VEK IPC Plugin Initialized"), 1);
  EXPECT_EQ(said_line("[player] handler registered for events 0xD6: new_track, playback_stopped, pause_changed, "
                      "dynamic_info, dynamic_info_track"),
            1);
  auto events = [&said](const std::string& name) {
    return std::count_if(said.begin(), said.end(), [&name](const std::string& line) {
      return line.starts_with("[event] ") &&
             (line.ends_with(": " + name) || line.find(": " + name + " ") != std::string::npos);
    });
  };
  EXPECT_EQ(events("new_track"), 4);
  EXPECT_EQ(events("dynamic_info"), 4 + 3);
  EXPECT_EQ(events("dynamic_info_track"), 3);
  EXPECT_EQ(events("pause_changed"), 2);
  EXPECT_EQ(events("playback_stopped"), 2);
  for (const char* masked : {"playback_starting", "seek", "track_edited", "time_tick", "volume_changed"})
    EXPECT_EQ(events(masked), 0) << masked;
  EXPECT_EQ(said_line("[console] VEK IPC: 'SetData' Failed!"), 0);
}

TEST(player_session, a_faulty_playlist_is_refused_before_the_module_is_loaded) {
  const temp_playlist playlist("track\ntitle = x\npause\ntrack\n");
  child player(L"vek-player.exe", quoted(playlist.path()));
  EXPECT_EQ(player.wait(run_timeout_ms), 2u);
  const std::string output = player.output();
  EXPECT_NE(output.find(":4: playback is paused: `resume` or `stop` before the next track"), std::string::npos)
      << output;
  EXPECT_EQ(output.find("loaded"), std::string::npos) << output;
}

TEST(player_session, a_module_that_cannot_be_loaded_fails_the_run) {
  const temp_playlist playlist("track\nplay 0s\n");
  child player(L"vek-player.exe", L"--component no_such_module.dll " + quoted(playlist.path()));
  EXPECT_EQ(player.wait(run_timeout_ms), 1u);
  EXPECT_NE(player.output().find("vek-player: cannot load no_such_module.dll"), std::string::npos) << player.output();
}

TEST(player_session, bad_usage_is_refused) {
  for (const wchar_t* arguments : {L"", L"--pace 0 x.playlist", L"--pace 2 --step-ms 5 x.playlist",
                                   L"--step-ms -1 x.playlist", L"--loud x.playlist", L"a.playlist b.playlist"}) {
    child player(L"vek-player.exe", arguments);
    EXPECT_EQ(player.wait(run_timeout_ms), 2u) << std::string(arguments, arguments + wcslen(arguments));
  }
}

}  // namespace
