// One session with the component, held as the player holds it: load the
// module, start it through the client its export returns, lend it the
// player's services, then quit it and check that it gave back every reference
// it took. The module is unloaded when the session ends, after everything
// that refers into it is gone.
#pragma once

#include <windows.h>

#include <cstdint>
#include <list>
#include <string>

#include "host/interfaces.h"
#include "host/services.h"
#include "player/playback.h"
#include "player_side/lent_services.h"

// The console the component writes to: every line of its text becomes one
// "[console] " line on standard output.
class printing_console_sink final : public counted_service<console_sink> {
 public:
  void write_text(const char* text, std::uint32_t length) override;
};

class component_session {
 public:
  // `verbose` also prints the module, its services and the events its handlers asked for.
  explicit component_session(bool verbose) : verbose_(verbose) {}
  component_session(const component_session&) = delete;
  component_session& operator=(const component_session&) = delete;

  // The module --component names: `chosen` made absolute, or when empty
  // foo_vek_ipc.dll beside this program.
  static std::wstring module_file(const std::wstring& chosen);

  // Each step is false, after saying why, when the component cannot be used.
  bool load(const std::wstring& file);
  // Calls the export, lends the services, walks the factories, starts the component.
  bool start();

  const player::playback::handler_list& handlers() const { return registry_.registrations(); }

  // Quits the component, drops its services and checks the references it
  // holds, the track references the playback counted included; false when
  // it kept any.
  bool quit(std::int32_t kept_track_references);

 private:
  struct published_service {
    guid class_id;
    service_ref instance;
  };
  // Frees the module last of all, as the session's first member.
  struct loaded_module {
    HMODULE handle = nullptr;
    ~loaded_module() {
      if (handle) FreeLibrary(handle);
    }
  };

  service_base* find(const guid& class_id) const;

  loaded_module module_;
  bool verbose_;
  player_host_api api_;
  printing_console_sink console_;
  player_callback_registry registry_;
  std::list<published_service> services_;
  initquit* lifecycle_ = nullptr;
};
