#include "component_host.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

std::wstring sibling_path(const wchar_t* file_name) {
  wchar_t path[MAX_PATH];
  const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
  std::wstring directory(path, length);
  return directory.substr(0, directory.find_last_of(L"\\/") + 1) + file_name;
}

}  // namespace

loaded_component::loaded_component() : module_(LoadLibraryW(L"foo_vek_ipc.dll")) {
  if (!module_) ADD_FAILURE() << "LoadLibrary failed: " << GetLastError();
}

loaded_component::~loaded_component() {
  if (module_) FreeLibrary(module_);
}

void* loaded_component::enter(host_api* api) {
  using entry_point = void*(__cdecl*)(host_api*, HINSTANCE);
  auto entry = reinterpret_cast<entry_point>(reinterpret_cast<void*>(GetProcAddress(module_, "foobar2000_get_interface")));
  if (!entry) {
    ADD_FAILURE() << "no export foobar2000_get_interface";
    return nullptr;
  }
  client_ = entry(api, module_);
  return client_;
}

const std::uint32_t* loaded_component::factory(std::size_t position) const {
  auto* record = static_cast<const std::uint32_t*>(raw::call<void*>(client_, first_factory));
  for (; record && position; --position) record = reinterpret_cast<const std::uint32_t*>(record[1]);
  return record;
}

void* loaded_component::service(const guid& class_id) const {
  for (const std::uint32_t* record = factory(0); record; record = reinterpret_cast<const std::uint32_t*>(record[1]))
    if (std::memcmp(reinterpret_cast<const void*>(record[2]), &class_id, sizeof class_id) == 0)
      return const_cast<std::uint32_t*>(record + 3);
  ADD_FAILURE() << "no factory for the class";
  return nullptr;
}

process_result run_sibling(const wchar_t* program, const std::wstring& arguments) {
  SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  HANDLE read_end = nullptr, write_end = nullptr;
  process_result result;
  if (!CreatePipe(&read_end, &write_end, &inherit, 0)) {
    ADD_FAILURE() << "CreatePipe failed: " << GetLastError();
    return result;
  }
  SetHandleInformation(read_end, HANDLE_FLAG_INHERIT, 0);
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
  startup.hStdOutput = write_end;
  startup.hStdError = write_end;
  PROCESS_INFORMATION process{};
  std::wstring command = L"\"" + sibling_path(program) + L"\" " + arguments;
  const bool started =
      CreateProcessW(nullptr, command.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &process);
  CloseHandle(write_end);
  if (!started) {
    ADD_FAILURE() << "cannot start a sibling program: " << GetLastError();
    CloseHandle(read_end);
    return result;
  }
  char buffer[4096];
  DWORD got = 0;
  while (ReadFile(read_end, buffer, sizeof buffer, &got, nullptr) && got) result.output.append(buffer, got);
  WaitForSingleObject(process.hProcess, INFINITE);
  GetExitCodeProcess(process.hProcess, &result.exit_code);
  CloseHandle(process.hProcess);
  CloseHandle(process.hThread);
  CloseHandle(read_end);
  return result;
}

std::string read_title_from_another_process() {
  std::string output = run_sibling(L"title_reader.exe").output;
  if (!output.empty() && output.back() == '\n') output.pop_back();
  return output;
}
