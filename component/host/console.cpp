#include "host/console.h"

#include <cstring>

#include "host/module.h"
#include "platform/exception_bridge.h"
#include "support/errors.h"

// Every call to the player here runs under the bridge: callers hold sink
// references and text storage, and the handler's construction must see a
// player's exception_service_not_found.
namespace {

service_class_handle find_class(const guid& class_id) {
  return platform::call_player([&] { return kept_host_api->find_service_class(&class_id); });
}

bool create_instance(service_ref& out, service_class_handle handle, std::uint32_t index) {
  return platform::call_player([&] { return kept_host_api->create_service_instance(&out, handle, index); });
}

}  // namespace

service_enumerator::service_enumerator(const guid& class_id) : class_handle_(find_class(class_id)) {}

bool service_enumerator::next_instance(service_ref& out) {
  const std::uint32_t index = next_index_++;
  service_ref candidate;
  const bool found = create_instance(candidate, class_handle_, index);
  if (found) out.take_from(candidate);
  return found;  // a reference the player stored anyway goes with `candidate`
}

bool get_single_service(const guid& class_id, service_ref& out) {
  const service_class_handle handle = find_class(class_id);
  switch (platform::call_player([&] { return kept_host_api->count_service_instances(handle); })) {
    case 0: throw exception_service_not_found();
    case 1: return create_instance(out, handle, 0);
    default: throw exception_service_duplicated();
  }
}

void print_to_console(const char* text) {
  if (!services_ready) return;
  service_enumerator sinks(console_sink::class_id);
  service_ref sink;
  while (sinks.next_instance(sink))
    platform::call_player([&] { sink.as<console_sink>()->write_text(text, 0xFFFFFFFF); });
}

namespace console {

formatter::~formatter() noexcept(false) {
  const char* text = text_pointer();
  if (*text != '\0') print_to_console(text);
  // The base destructor frees the storage, also when printing raised.
}

formatter& formatter::append_terminated(const char* text) {
  append_bytes(text, std::strlen(text));
  return *this;
}

}  // namespace console
