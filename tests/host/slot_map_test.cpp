// The table slot of every operation that crosses the boundary, read from the
// compiler's own encoding of a pointer to a virtual member function (Itanium
// C++ ABI, which both builds use: table offset in bytes + 1). A reordered,
// inserted or removed virtual function, or a virtual destructor, moves a slot.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>

#include "host/interfaces.h"
#include "host/services.h"

namespace {

template <class Member>
std::size_t slot_of(Member member) {
  struct {
    std::uintptr_t pointer_or_offset;
    std::ptrdiff_t this_adjustment;
  } raw;
  static_assert(sizeof(member) == sizeof(raw));
  std::memcpy(&raw, &member, sizeof raw);
  EXPECT_EQ(raw.pointer_or_offset % sizeof(void*), 1u) << "not a virtual function";
  EXPECT_EQ(raw.this_adjustment, 0) << "not in the primary table";
  return (raw.pointer_or_offset - 1) / sizeof(void*);
}

// The members occupy consecutive slots from `first`.
template <class... Members>
void expect_slots(std::size_t first, Members... members) {
  const std::size_t slots[] = {slot_of(members)...};
  for (std::size_t i = 0; i < sizeof...(members); ++i) EXPECT_EQ(slots[i], first + i) << "member " << i;
}

TEST(slot_map, every_table_in_contract_order) {
  expect_slots(0, &service_base::release, &service_base::add_reference, &service_base::query_by_guid,
               &console_sink::write_text);
  expect_slots(3, &playback_callback_registry::register_callback);
  expect_slots(3, &componentversion::file_name, &componentversion::component_name,
               &componentversion::component_version, &componentversion::about_text);
  expect_slots(3, &initquit::start, &initquit::quit);
  expect_slots(0, &service_factory_base::create_instance);
  expect_slots(0, &reference_counted_object::destroy);
  expect_slots(0, &host_api::find_service_class, &host_api::create_service_instance,
               &host_api::count_service_instances);
  expect_slots(0, &component_client::interface_version, &component_client::first_factory,
               &component_client::save_configuration, &component_client::load_configuration,
               &component_client::set_module_location, &component_client::set_services_ready,
               &component_client::debug_build);
  expect_slots(0, &play_callback::playback_starting, &play_callback::new_track, &play_callback::playback_stopped,
               &play_callback::seek, &play_callback::pause_changed, &play_callback::track_edited,
               &play_callback::dynamic_info, &play_callback::dynamic_info_track, &play_callback::time_tick,
               &play_callback::volume_changed);
  expect_slots(0, &track_info::length_seconds);
  expect_slots(4, &track_info::field_count, &track_info::field_name, &track_info::field_value_count,
               &track_info::field_value, &track_info::find_field);
  expect_slots(0, &pfc::string_receiver::append_text, &pfc::string_base::text_pointer, &pfc::string_base::set_text,
               &pfc::string_base::shorten, &pfc::string_base::text_length, &pfc::string_base::open_buffer,
               &pfc::string_base::close_buffer);
  expect_slots(0, &readable_stream::read_bytes, &readable_stream::read_exact, &readable_stream::skip_bytes,
               &readable_stream::skip_exact);
  expect_slots(0, &writable_stream::write_bytes);
  expect_slots(0, &abort_signal::cancel_requested);
}

}  // namespace
