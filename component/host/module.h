// Module-level state kept for the other parts of the component. Plain memory:
// the player calls the client object, start, quit and every playback event on
// one thread, and never calls the client while it uses the services elsewhere.
#pragma once

#include "host/interfaces.h"
#include "platform/platform.h"
#include "support/strings.h"

// Kept by foobar2000_get_interface for the life of the module; not owned.
extern host_api* kept_host_api;
extern platform::module_handle module_instance;
// Console output reaches the player only while this is true.
extern bool services_ready;
// Where the player says the module lies; read by the identity service.
extern text_buffer module_path;
extern text_buffer module_file_name;

// The object foobar2000_get_interface hands to the player.
component_client& the_component_client();

extern "C" component_client* foobar2000_get_interface(host_api* api, platform::module_handle instance);
