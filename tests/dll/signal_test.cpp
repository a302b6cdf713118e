// Fatal signals inside a process that has loaded the component end in the
// structured exception 0x6F8E1DC8 with the signal number, and the runtime
// prints nothing of its own. Each case runs in a child process.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>

namespace {

struct child_result {
  DWORD exit_code = 0;
  std::string output;  // stdout and stderr together
};

std::wstring sibling_path(const wchar_t* file_name) {
  wchar_t path[MAX_PATH];
  const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
  std::wstring directory(path, length);
  return directory.substr(0, directory.find_last_of(L"\\/") + 1) + file_name;
}

child_result run_child(const std::wstring& argument) {
  SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  HANDLE read_end = nullptr, write_end = nullptr;
  EXPECT_TRUE(CreatePipe(&read_end, &write_end, &inherit, 0));
  SetHandleInformation(read_end, HANDLE_FLAG_INHERIT, 0);

  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
  startup.hStdOutput = write_end;
  startup.hStdError = write_end;
  PROCESS_INFORMATION process{};
  std::wstring command = L"\"" + sibling_path(L"signal_child.exe") + L"\" " + argument;
  child_result result;
  if (!CreateProcessW(nullptr, command.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &process)) {
    ADD_FAILURE() << "CreateProcess failed: " << GetLastError();
    return result;
  }
  CloseHandle(write_end);
  char buffer[512];
  DWORD got = 0;
  while (ReadFile(read_end, buffer, sizeof buffer, &got, nullptr) && got) result.output.append(buffer, got);
  WaitForSingleObject(process.hProcess, INFINITE);
  GetExitCodeProcess(process.hProcess, &result.exit_code);
  CloseHandle(process.hProcess);
  CloseHandle(process.hThread);
  CloseHandle(read_end);
  return result;
}

void expect_translated(const wchar_t* argument, unsigned signal_number) {
  const child_result child = run_child(argument);
  const std::string expected =
      "exception code=0x6F8E1DC8 flags=1 arguments=1 argument0=" + std::to_string(signal_number) + "\n";
  // Exactly this line: no runtime abort message before it, nothing after.
  EXPECT_EQ(child.output, expected);
  EXPECT_EQ(child.exit_code, 0u);
}

TEST(signal_translation, interrupt_termination_and_break_raise_the_exception) {
  expect_translated(L"2", 2);
  expect_translated(L"15", 15);
  expect_translated(L"21", 21);
}

TEST(signal_translation, abort_raises_the_exception_without_a_runtime_message) { expect_translated(L"abort", 22); }

TEST(signal_translation, other_signals_are_left_to_the_runtime) {
  // SIGFPE keeps the runtime's default handling: no translation.
  const child_result child = run_child(L"8");
  EXPECT_EQ(child.output.find("0x6F8E1DC8"), std::string::npos) << child.output;
}

}  // namespace
