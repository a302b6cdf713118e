// Reaching the player's services through the kept host_api, and console output.
#pragma once

#include <cstdint>

#include "host/services.h"
#include "support/strings.h"

// One enumeration of the instances of a service class, from index 0.
class service_enumerator {
 public:
  explicit service_enumerator(const guid& class_id);
  // True with the next instance in `out` (its previous reference released);
  // false when the player has no more. The index advances even on failure.
  bool next_instance(service_ref& out);

 private:
  std::uint32_t next_index_ = 0;
  service_class_handle class_handle_;
};

// The one instance of `class_id` into the empty `out`. Raises
// exception_service_not_found for none and exception_service_duplicated for
// more than one, without asking the player for an instance. The result is the
// player's answer to create_service_instance: false leaves `out` empty.
bool get_single_service(const guid& class_id, service_ref& out);

// Hands `text` to every console sink, in index order, while services are
// ready; dropped silently otherwise. Errors of the player pass through with
// every reference released.
void print_to_console(const char* text);

namespace console {

// A console message: filled with append_terminated, printed when destroyed.
class formatter : public pfc::string8_t<pfc::alloc_fast_aggressive> {
 public:
  formatter() noexcept = default;
  // Printing may raise the player's errors; the text storage is freed either way.
  ~formatter() noexcept(false);
  // Appends a whole zero-terminated text that does not lie in this formatter.
  formatter& append_terminated(const char* text);
};

}  // namespace console
