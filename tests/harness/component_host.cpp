#include "harness/component_host.h"

#include <gtest/gtest.h>

#include <cstring>

loaded_component::loaded_component() : module_(LoadLibraryW(L"foo_vek_ipc.dll")) {
  if (!module_) ADD_FAILURE() << "LoadLibrary failed: " << GetLastError();
}

loaded_component::~loaded_component() { FreeLibrary(module_); }

void* loaded_component::enter(host_api* api) {
  using entry_point = void*(__cdecl*)(host_api*, HINSTANCE);
  auto entry =
      reinterpret_cast<entry_point>(reinterpret_cast<void*>(GetProcAddress(module_, "foobar2000_get_interface")));
  if (!entry) ADD_FAILURE() << "no export foobar2000_get_interface";
  return client_ = entry ? entry(api, module_) : nullptr;
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

process_result run_child(const wchar_t* mode) {
  wchar_t path[MAX_PATH];
  std::wstring command(path, GetModuleFileNameW(nullptr, path, MAX_PATH));
  command = L"\"" + command.substr(0, command.find_last_of(L"\\/") + 1) + L"child_host.exe\" " + mode;
  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  HANDLE read_end = nullptr, write_end = nullptr;
  CreatePipe(&read_end, &write_end, &inherit, 0);
  STARTUPINFOW startup{};
  startup.cb = sizeof startup, startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdOutput = startup.hStdError = write_end;
  PROCESS_INFORMATION process{};
  if (!CreateProcessW(nullptr, command.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &process))
    ADD_FAILURE() << "cannot start child_host.exe: " << GetLastError();
  CloseHandle(write_end);
  process_result result;
  char buffer[4096];
  DWORD got = 0;
  while (ReadFile(read_end, buffer, sizeof buffer, &got, nullptr) && got) result.output.append(buffer, got);
  WaitForSingleObject(process.hProcess, INFINITE);
  GetExitCodeProcess(process.hProcess, &result.exit_code);
  for (HANDLE handle : {process.hProcess, process.hThread, read_end}) CloseHandle(handle);
  return result;
}

std::optional<std::string> read_title() {
  const std::string output = run_child(L"title").output;
  if (output.starts_with("window: ")) return output.substr(8);
  EXPECT_EQ(output, "no window");
  return std::nullopt;
}
