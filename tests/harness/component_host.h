// The player's side of the module: loads foo_vek_ipc.dll and reaches it only through its
// export and the tables it hands out.
#pragma once

#include <windows.h>

#include <cstdint>
#include <optional>
#include <string>

#include "harness/raw_call.h"
#include "player_side/host_standin.h"

// clang-format off
inline constexpr guid componentversion_class = {0x10BB3EBD, 0xDDF7, 0x4975, {0xA3, 0xCC, 0x23, 0x08, 0x48, 0x29, 0x45, 0x3E}};
inline constexpr guid initquit_class = {0x113773C4, 0xB387, 0x4B48, {0x8B, 0xDF, 0xAB, 0x58, 0xBC, 0x6C, 0xE5, 0x38}};
inline constexpr wchar_t ipc_window_class[] = L"{C228F795-8913-40ec-A81B-486BB773FF5F}";
enum client_slot : unsigned {
  interface_version, first_factory, save_configuration, load_configuration,
  set_module_location, set_services_ready, debug_build
};
// clang-format on

class loaded_component {
 public:
  loaded_component();
  ~loaded_component();
  void* enter(host_api* api);  // calls the export with `api` as the player's host_api
  void* client() const { return client_; }
  const std::uint32_t* factory(std::size_t position) const;  // table, next_factory, class_guid, service
  void* service(const guid& class_id) const;                 // embedded in the factory publishing `class_id`

 private:
  HMODULE module_;
  void* client_ = nullptr;
};

struct process_result {
  DWORD exit_code = 0;
  std::string output;  // standard output and error together
};

// Runs child_host.exe (beside the test program) with `mode` and waits for it.
process_result run_child(const wchar_t* mode);
// The IPC window's title as another process reads it; nothing without a window.
std::optional<std::string> read_title();
