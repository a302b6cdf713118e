// The test program's side of the module: loads foo_vek_ipc.dll with
// LoadLibrary and reaches it only through its export and the tables it hands
// out, as the player does.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

#include "raw_call.h"
#include "tools/host_standin/host_standin.h"

// GUIDs as the player knows them, written out here rather than taken from the
// component's headers.
inline constexpr guid componentversion_class = {0x10BB3EBD, 0xDDF7, 0x4975, {0xA3, 0xCC, 0x23, 0x08, 0x48, 0x29, 0x45, 0x3E}};
inline constexpr guid initquit_class = {0x113773C4, 0xB387, 0x4B48, {0x8B, 0xDF, 0xAB, 0x58, 0xBC, 0x6C, 0xE5, 0x38}};

// Client slots.
enum client_slot : unsigned {
  interface_version, first_factory, save_configuration, load_configuration,
  set_module_location, set_services_ready, debug_build
};

class loaded_component {
 public:
  loaded_component();
  ~loaded_component();

  HMODULE module() const { return module_; }
  // Calls the export, keeping `api` as the player's host_api.
  void* enter(host_api* api);
  void* client() const { return client_; }

  // The factory record words: table, next_factory, class_guid, service table.
  const std::uint32_t* factory(std::size_t position) const;
  // The embedded service of the factory publishing `class_id`.
  void* service(const guid& class_id) const;

 private:
  HMODULE module_;
  void* client_ = nullptr;
};

struct process_result {
  DWORD exit_code = 0;
  std::string output;  // standard output and error together
};
// Runs a program that sits beside the test program and waits for it.
process_result run_sibling(const wchar_t* program, const std::wstring& arguments = {});

// Reads the IPC window's title from another process (title_reader.exe):
// "window: <title>" or "no window".
std::string read_title_from_another_process();
