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
  struct encoded {
    std::uintptr_t pointer_or_offset;
    std::ptrdiff_t this_adjustment;
  } raw;
  static_assert(sizeof(member) == sizeof(raw));
  std::memcpy(&raw, &member, sizeof raw);
  EXPECT_EQ(raw.pointer_or_offset % sizeof(void*), 1u) << "not a virtual function";
  EXPECT_EQ(raw.this_adjustment, 0) << "not in the primary table";
  return (raw.pointer_or_offset - 1) / sizeof(void*);
}

TEST(slot_map, services_and_the_player_objects_they_use) {
  EXPECT_EQ(slot_of(&service_base::release), 0u);
  EXPECT_EQ(slot_of(&service_base::add_reference), 1u);
  EXPECT_EQ(slot_of(&service_base::query_by_guid), 2u);
  EXPECT_EQ(slot_of(&console_sink::write_text), 3u);
  EXPECT_EQ(slot_of(&playback_callback_registry::register_callback), 3u);
  EXPECT_EQ(slot_of(&componentversion::file_name), 3u);
  EXPECT_EQ(slot_of(&componentversion::component_name), 4u);
  EXPECT_EQ(slot_of(&componentversion::component_version), 5u);
  EXPECT_EQ(slot_of(&componentversion::about_text), 6u);
  EXPECT_EQ(slot_of(&initquit::start), 3u);
  EXPECT_EQ(slot_of(&initquit::quit), 4u);
  EXPECT_EQ(slot_of(&service_factory_base::create_instance), 0u);
  EXPECT_EQ(slot_of(&reference_counted_object::destroy), 0u);
}

TEST(slot_map, host_api_and_client) {
  EXPECT_EQ(slot_of(&host_api::find_service_class), 0u);
  EXPECT_EQ(slot_of(&host_api::create_service_instance), 1u);
  EXPECT_EQ(slot_of(&host_api::count_service_instances), 2u);
  EXPECT_EQ(slot_of(&component_client::interface_version), 0u);
  EXPECT_EQ(slot_of(&component_client::first_factory), 1u);
  EXPECT_EQ(slot_of(&component_client::save_configuration), 2u);
  EXPECT_EQ(slot_of(&component_client::load_configuration), 3u);
  EXPECT_EQ(slot_of(&component_client::set_module_location), 4u);
  EXPECT_EQ(slot_of(&component_client::set_services_ready), 5u);
  EXPECT_EQ(slot_of(&component_client::debug_build), 6u);
}

TEST(slot_map, playback) {
  EXPECT_EQ(slot_of(&play_callback::playback_starting), 0u);
  EXPECT_EQ(slot_of(&play_callback::new_track), 1u);
  EXPECT_EQ(slot_of(&play_callback::playback_stopped), 2u);
  EXPECT_EQ(slot_of(&play_callback::seek), 3u);
  EXPECT_EQ(slot_of(&play_callback::pause_changed), 4u);
  EXPECT_EQ(slot_of(&play_callback::track_edited), 5u);
  EXPECT_EQ(slot_of(&play_callback::dynamic_info), 6u);
  EXPECT_EQ(slot_of(&play_callback::dynamic_info_track), 7u);
  EXPECT_EQ(slot_of(&play_callback::time_tick), 8u);
  EXPECT_EQ(slot_of(&play_callback::volume_changed), 9u);
  EXPECT_EQ(slot_of(&track_info::length_seconds), 0u);
  EXPECT_EQ(slot_of(&track_info::field_count), 4u);
  EXPECT_EQ(slot_of(&track_info::field_name), 5u);
  EXPECT_EQ(slot_of(&track_info::field_value_count), 6u);
  EXPECT_EQ(slot_of(&track_info::field_value), 7u);
  EXPECT_EQ(slot_of(&track_info::find_field), 8u);
}

TEST(slot_map, strings_and_streams) {
  EXPECT_EQ(slot_of(&pfc::string_receiver::append_text), 0u);
  EXPECT_EQ(slot_of(&pfc::string_base::text_pointer), 1u);
  EXPECT_EQ(slot_of(&pfc::string_base::set_text), 2u);
  EXPECT_EQ(slot_of(&pfc::string_base::shorten), 3u);
  EXPECT_EQ(slot_of(&pfc::string_base::text_length), 4u);
  EXPECT_EQ(slot_of(&pfc::string_base::open_buffer), 5u);
  EXPECT_EQ(slot_of(&pfc::string_base::close_buffer), 6u);
  EXPECT_EQ(slot_of(&readable_stream::read_bytes), 0u);
  EXPECT_EQ(slot_of(&readable_stream::read_exact), 1u);
  EXPECT_EQ(slot_of(&readable_stream::skip_bytes), 2u);
  EXPECT_EQ(slot_of(&readable_stream::skip_exact), 3u);
  EXPECT_EQ(slot_of(&writable_stream::write_bytes), 0u);
  EXPECT_EQ(slot_of(&abort_signal::cancel_requested), 0u);
}

#if defined(_WIN32) && !defined(_WIN64)
// The factory record the player reads word by word.
struct probe_factory final : service_factory_base {
  probe_factory() : service_factory_base(&initquit::class_id) {}
  void create_instance(service_ref*) override {}
};
TEST(layout, factory_record_words) {
  probe_factory record;
  const auto* words = reinterpret_cast<const std::uint32_t*>(&record);
  EXPECT_EQ(words[1], reinterpret_cast<std::uintptr_t>(record.next_factory));
  EXPECT_EQ(words[2], reinterpret_cast<std::uintptr_t>(&initquit::class_id));
}
#endif

}  // namespace
