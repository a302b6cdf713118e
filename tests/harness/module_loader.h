// foo_vek_ipc.dll loaded as the player loads it and reached only through its
// export and the tables it hands out. Reports what went wrong as text, so
// test suites, the soak and the benchmarks each fail in their own way.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

#include "host/guid.h"

class host_api;

// clang-format off
inline constexpr guid componentversion_class = {0x10BB3EBD, 0xDDF7, 0x4975, {0xA3, 0xCC, 0x23, 0x08, 0x48, 0x29, 0x45, 0x3E}};
inline constexpr guid initquit_class = {0x113773C4, 0xB387, 0x4B48, {0x8B, 0xDF, 0xAB, 0x58, 0xBC, 0x6C, 0xE5, 0x38}};
enum client_slot : unsigned {
  interface_version, first_factory, save_configuration, load_configuration,
  set_module_location, set_services_ready, debug_build
};
enum initquit_slot : unsigned { start_slot = 3, quit_slot = 4 };
enum handler_slot : unsigned {
  playback_starting, new_track, playback_stopped, seek, pause_changed,
  track_edited, dynamic_info, dynamic_info_track, time_tick, volume_changed
};
// clang-format on

namespace harness {

class loaded_module {
 public:
  explicit loaded_module(const wchar_t* file = L"foo_vek_ipc.dll");
  ~loaded_module();
  loaded_module(const loaded_module&) = delete;
  loaded_module& operator=(const loaded_module&) = delete;

  // Null when LoadLibrary failed; its imports may be redirected before enter().
  HMODULE handle() const { return module_; }
  // Why the last step failed; empty while none has.
  const std::string& problem() const { return problem_; }

  void* enter(host_api* api);  // calls the export with `api` as the player's host_api; null on failure
  void* client() const { return client_; }
  const std::uint32_t* factory(std::size_t position) const;  // table, next_factory, class_guid, service
  void* service(const guid& class_id);                       // embedded in the factory publishing `class_id`

 private:
  HMODULE module_;
  void* client_ = nullptr;
  std::string problem_;
};

}  // namespace harness
