// What runs when the module is loaded, in this order. The record state, the
// module strings and the client object are constant-initialised and so are in
// place before any of it.
#include "host/services.h"
#include "platform/signal_translation.h"
#include "publisher/identity.h"
#include "publisher/ipc_window.h"

namespace {

// Each record links itself in at the head of the list: initquit first,
// componentversion second, so the player finds componentversion first.
initquit_factory_t<initquit_tutorial1> initquit_factory;
service_factory_single_t<componentversion_myimpl> componentversion_factory;

#if defined(_WIN32) && !defined(_WIN64)
// Table, next_factory, class_guid, the embedded service's table: four words.
static_assert(sizeof(initquit_factory) == 16 && sizeof(componentversion_factory) == 16);
#endif

// Before the player's first call into the module; undone at unload.
struct signal_translation_scope {
  signal_translation_scope() { install_signal_translation(); }
  ~signal_translation_scope() { remove_signal_translation(); }
} const signal_translation;

}  // namespace
