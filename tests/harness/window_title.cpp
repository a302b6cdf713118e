#include "harness/window_title.h"

#include "wire/format.h"

namespace harness {

HWND find_ipc_window() { return FindWindowExW(HWND_MESSAGE, nullptr, wire::window_class, nullptr); }

std::string window_title(HWND window) {
  std::string title(GetWindowTextLengthA(window) + 1, '\0');
  title.resize(GetWindowTextA(window, title.data(), static_cast<int>(title.size())));
  return title;
}

namespace {
constexpr std::string_view window_prefix = "window: ", no_window = "no window";
}  // namespace

std::string title_report(const std::optional<std::string>& title) {
  return title ? std::string(window_prefix) + *title : std::string(no_window);
}

int print_title_report() {
  HWND window = find_ipc_window();
  const std::string text = title_report(window ? std::optional(window_title(window)) : std::nullopt);
  DWORD written = 0;
  return WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), text.data(), static_cast<DWORD>(text.size()), &written, nullptr) &&
                 written == text.size()
             ? 0
             : 1;
}

std::optional<std::string> title_from_report(const std::string& report, bool& valid) {
  valid = report.starts_with(window_prefix) || report == no_window;
  if (!report.starts_with(window_prefix)) return std::nullopt;
  return report.substr(window_prefix.size());
}

process_result run_process(std::wstring command_line) {
  process_result result;
  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  HANDLE read_end = nullptr, write_end = nullptr;
  if (!CreatePipe(&read_end, &write_end, &inherit, 0)) {
    result.problem = "CreatePipe failed: error " + std::to_string(GetLastError());
    return result;
  }
  // Only the write end goes to the child: a read end held there would keep the pipe open.
  SetHandleInformation(read_end, HANDLE_FLAG_INHERIT, 0);
  STARTUPINFOW startup{};
  startup.cb = sizeof startup, startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdOutput = startup.hStdError = write_end;
  PROCESS_INFORMATION process{};
  result.started =
      CreateProcessW(nullptr, command_line.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &process);
  if (!result.started) result.problem = "CreateProcess failed: error " + std::to_string(GetLastError());
  CloseHandle(write_end);
  if (result.started) {
    char buffer[65536];
    DWORD got = 0;
    while (ReadFile(read_end, buffer, sizeof buffer, &got, nullptr) && got) result.output.append(buffer, got);
    WaitForSingleObject(process.hProcess, INFINITE);
    GetExitCodeProcess(process.hProcess, &result.exit_code);
    CloseHandle(process.hProcess), CloseHandle(process.hThread);
  }
  CloseHandle(read_end);
  return result;
}

namespace {
std::wstring program_path() {
  wchar_t path[MAX_PATH];
  return std::wstring(path, GetModuleFileNameW(nullptr, path, MAX_PATH));
}
}  // namespace

std::wstring this_program() { return L"\"" + program_path() + L"\""; }

std::wstring beside_this_program(const wchar_t* file) {
  const std::wstring program = program_path();
  return L"\"" + program.substr(0, program.find_last_of(L"\\/") + 1) + file + L"\"";
}

}  // namespace harness
