#include "publisher/playback_handler.h"

#include <cstring>

#include "host/console.h"
#include "publisher/ipc_window.h"
#include "publisher/record.h"
#include "support/errors.h"

constinit pfc::string8_t<pfc::alloc_standard> last_record;

namespace {

constexpr std::uint32_t playback_event_mask = 0xD6;

void release_owned(track_handle* track) {
  if (track) track->release();
}

}  // namespace

Test_Class::Test_Class(Test_Class* retired) : previous_(retired) {
  try {
    service_ref registry;
    get_single_service(playback_callback_registry::class_id, registry);
    // The player counted one registry but handed none out: as good as missing.
    if (registry) registry.as<playback_callback_registry>()->register_callback(this, playback_event_mask, false);
  } catch (const exception_service_not_found&) {
  }
}

Test_Class::~Test_Class() { delete previous_; }

void Test_Class::publish(const char* text) {
  if (!platform::set_window_title(ipc_window, text)) console::formatter().append_terminated("VEK IPC: 'SetData' Failed!\r\n");
}

void Test_Class::playback_starting(std::uint32_t, bool) {}

void Test_Class::new_track(track_handle* track) { release_owned(track); }

void Test_Class::playback_stopped(std::uint32_t) {
  if (!retired_) publish(stop_marker);
}

void Test_Class::seek(double) {}

void Test_Class::pause_changed(bool) {}

void Test_Class::track_edited(track_handle* track) { release_owned(track); }

void Test_Class::dynamic_info(const track_info* info) {
  if (retired_) return;
  pfc::string8_t<pfc::alloc_fast_aggressive> record;
  if (!build_now_playing_record(*info, record)) return;
  if (record.text_length() == last_record.text_length() &&
      std::memcmp(record.text_pointer(), last_record.text_pointer(), record.text_length()) == 0)
    return;
  publish(record.text_pointer());
  last_record.set_text(record.text_pointer(), record.text_length());
}

void Test_Class::dynamic_info_track(const track_info*) {}

void Test_Class::time_tick(double) {}

void Test_Class::volume_changed(float) {}
