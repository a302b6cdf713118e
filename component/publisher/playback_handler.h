// The playback handler: publishes the now-playing record into the IPC
// window's title and the stop text when playback stops. Runs on the player's main
// thread, which owns the window; takes no locks.
#pragma once

#include "host/interfaces.h"
#include "support/strings.h"

// The last record the handler tried to write (even if the write failed), so
// identical information is not written twice.
extern pfc::string8_fast last_record;

class Test_Class final : public play_callback {
 public:
  // Registers with the player's playback-callback registry for mask 0xD6. A
  // missing registry is not an error (no events arrive); a duplicated one is.
  // `retired` is an earlier handler the player may still hold; this one owns it.
  explicit Test_Class(Test_Class* retired);
  Test_Class(const Test_Class&) = delete;
  Test_Class& operator=(const Test_Class&) = delete;
  // Frees the retired chain too. Only at module unload: the player cannot
  // withdraw a handler, so a registered one must outlive every event.
  ~Test_Class();

  // After quit: events release what they own and otherwise change nothing.
  void retire() noexcept { retired_ = true; }

  // dynamic_info and playback_stopped let errors out only in the player's
  // model; new_track and track_edited pass on what the handle's release raises;
  // the rest cannot fail.
  void playback_starting(std::uint32_t command, bool paused) noexcept override;
  void new_track(track_handle* track) override;
  void playback_stopped(std::uint32_t reason) override;
  void seek(double seconds) noexcept override;
  void pause_changed(bool paused) noexcept override;
  void track_edited(track_handle* track) override;
  void dynamic_info(const track_info* info) override;
  void dynamic_info_track(const track_info* info) noexcept override;
  void time_tick(double seconds) noexcept override;
  void volume_changed(float decibels) noexcept override;

 private:
  // Writes the title; a refused write is reported on the console.
  static void publish(const char* text);

  bool retired_ = false;
  Test_Class* previous_;
};
