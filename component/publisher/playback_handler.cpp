#include "publisher/playback_handler.h"

#include <cstring>

#include "host/console.h"
#include "platform/exception_bridge.h"
#include "publisher/ipc_window.h"
#include "publisher/record.h"
#include "support/errors.h"
#include "wire/format.h"

constinit pfc::string8_fast last_record;

namespace {

constexpr std::uint32_t playback_event_mask = 0xD6;

// The record of the event in progress. Kept between events so that no frame
// owns storage while the player's track information is read (an error the
// player raises there passes to the player untouched and leaves nothing
// behind), and swapped with last_record when published: once both have grown
// to the longest record seen, an event allocates nothing.
constinit pfc::string8_fast next_record;

// Storage beyond this is kept only while a record that needs it is current:
// one track with huge tags must not hold its memory for the rest of the session.
constexpr std::size_t kept_record_storage = 64 * 1024;

// The player's release may raise; nothing is held here, so its error passes untouched.
void release_owned(track_handle* track) {
  if (track) track->release();
}

}  // namespace

Test_Class::Test_Class(Test_Class* retired) : previous_(retired) {
  try {
    service_ref registry;
    get_single_service(playback_callback_registry::class_id, registry);
    // The player counted one registry but handed none out: as good as missing.
    if (registry) {
      platform::call_player(
          [&] { registry.as<playback_callback_registry>()->register_callback(this, playback_event_mask, false); });
    }
  } catch (const exception_service_not_found&) {
  }
}

Test_Class::~Test_Class() { delete previous_; }

void Test_Class::publish(const char* text) {
  if (!platform::set_window_title(ipc_window, text))
    console::formatter().append_terminated("VEK IPC: 'SetData' Failed!\r\n");
}

void Test_Class::playback_starting(std::uint32_t, bool) noexcept {}

void Test_Class::new_track(track_handle* track) { release_owned(track); }

void Test_Class::playback_stopped(std::uint32_t) {
  platform::player_entry([&] {
    if (!retired_) publish(wire::stop_text);
  });
}

void Test_Class::seek(double) noexcept {}

void Test_Class::pause_changed(bool) noexcept {}

void Test_Class::track_edited(track_handle* track) { release_owned(track); }

void Test_Class::dynamic_info(const track_info* info) {
  platform::player_entry([&] {
    // No track information is treated like information without fields.
    if (retired_ || info == nullptr || !build_now_playing_record(*info, next_record)) return;
    if (next_record.text_length() == last_record.text_length() &&
        std::memcmp(next_record.text_pointer(), last_record.text_pointer(), next_record.text_length()) == 0)
      return;
    publish(next_record.text_pointer());
    last_record.swap(next_record);
    if (next_record.allocated_size() > kept_record_storage &&
        next_record.allocated_size() / 4 > last_record.text_length())
      pfc::string8_fast().swap(next_record);
  });
}

void Test_Class::dynamic_info_track(const track_info*) noexcept {}

void Test_Class::time_tick(double) noexcept {}

void Test_Class::volume_changed(float) noexcept {}
