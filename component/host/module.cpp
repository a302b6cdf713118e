#include "host/module.h"

#include "host/config.h"
#include "host/services.h"
#include "platform/exception_bridge.h"

// Everything here is constant-initialised: it is in place before the module's
// first dynamic initialiser runs, so before the factories link themselves in.
constinit host_api* kept_host_api = nullptr;
constinit platform::module_handle module_instance = nullptr;
constinit bool services_ready = false;
constinit text_buffer module_path;
constinit text_buffer module_file_name;

namespace {

class client_object final : public component_client {
 public:
  constexpr client_object() noexcept = default;
  // Slots that cannot fail are noexcept; the others let errors out only in the player's model.
  std::uint32_t interface_version() noexcept override { return 76; }
  service_factory_base* first_factory() noexcept override { return factory_list_head; }
  void save_configuration(writable_stream* stream, abort_signal* abort) override {
    platform::player_entry([&] { ::save_configuration(*stream, *abort); });
  }
  void load_configuration(readable_stream* stream, abort_signal* abort) override {
    platform::player_entry([&] { ::load_configuration(*stream, *abort); });
  }
  // A null text counts as the empty text.
  void set_module_location(const char* path, const char* file_name) override {
    platform::player_entry([&] {
      // Both texts or neither: a failed allocation leaves the old pair.
      text_buffer new_path, new_file_name;
      new_path.assign_text(path ? path : "");
      new_file_name.assign_text(file_name ? file_name : "");
      module_path.swap(new_path);
      module_file_name.swap(new_file_name);
    });
  }
  void set_services_ready(std::uint8_t ready) noexcept override { services_ready = ready != 0; }
  bool debug_build() noexcept override { return false; }
};

constinit client_object client;

}  // namespace

component_client& the_component_client() { return client; }

extern "C" component_client* foobar2000_get_interface(host_api* api, platform::module_handle instance) {
  module_instance = instance;
  kept_host_api = api;
  return &client;
}
