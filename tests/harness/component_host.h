// The harness for GoogleTest suites: the module loaded as the player loads it,
// with every problem a test failure, and the title read by child_host.exe.
#pragma once

#include <optional>
#include <string>

#include "harness/module_loader.h"
#include "harness/player_fakes.h"
#include "harness/raw_call.h"
#include "harness/window_title.h"

class loaded_component {
 public:
  loaded_component();
  void* enter(host_api* api);  // calls the export with `api` as the player's host_api
  void* client() const { return module_.client(); }
  const std::uint32_t* factory(std::size_t position) const { return module_.factory(position); }
  void* service(const guid& class_id);  // embedded in the factory publishing `class_id`

 private:
  harness::loaded_module module_;
};

using harness::process_result;
// Runs child_host.exe (beside the test program) with `mode` and waits for it.
process_result run_child(const wchar_t* mode);
// The IPC window's title as another process reads it; nothing without a window.
std::optional<std::string> read_title();
