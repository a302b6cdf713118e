#include "publisher/ipc_window.h"

#include <new>

#include "host/console.h"
#include "host/module.h"
#include "platform/exception_bridge.h"
#include "publisher/playback_handler.h"
#include "support/errors.h"
#include "wire/format.h"

constinit platform::window_handle ipc_window = nullptr;
constinit Test_Class* playback_handler = nullptr;

namespace {

// The handler outlives quit (the player has no way to withdraw it), so the
// module frees it, and any earlier retired ones, when it is unloaded.
struct handler_owner {
  ~handler_owner() { delete playback_handler; }
} const unload_handler;

}  // namespace

void initquit_tutorial1::start() {
  platform::player_entry([] {
    if (!platform::window_class_exists(module_instance, wire::window_class))
      platform::register_window_class(module_instance, wire::window_class);
    ipc_window = platform::create_message_window(module_instance, wire::window_class);

    Test_Class* handler = new (std::nothrow) Test_Class(playback_handler);
    if (!handler) pfc::raise_bad_alloc();
    playback_handler = handler;

    console::formatter().append_terminated("VEK IPC Plugin Initialized\r\n");
  });
}

void initquit_tutorial1::quit() noexcept {
  if (playback_handler) playback_handler->retire();
  platform::destroy_window(ipc_window);
}
