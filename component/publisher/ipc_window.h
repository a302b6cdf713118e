// The IPC window and the component's start and quit. The window is
// message-only and owned by the player's main thread; its title is the data
// another process reads, found by its class, wire::window_class.
#pragma once

#include "host/interfaces.h"
#include "platform/platform.h"

// Set by start, destroyed by quit; never reset.
extern platform::window_handle ipc_window;

class Test_Class;
// The live handler; null until start. Kept (inert) after quit until unload.
extern Test_Class* playback_handler;

class initquit_tutorial1 : public initquit {
 public:
  using interface_type = initquit;
  // Creates the window, registers the handler and prints the start message.
  // Handler errors other than a missing registry pass to the player; the
  // window then stays and nothing is printed.
  void start() override;
  // Retires the handler and destroys the window.
  void quit() noexcept override;
};
