// Every operation table that crosses between the player and this component.
// The order of the virtual functions is the binary contract: do not reorder,
// insert or add a virtual destructor (a destructor would take table slots).
// On 32-bit Windows these are thiscall, so the callee pops its arguments and
// every argument must have exactly the width the player passes.
#pragma once

#include <cstdint>

#include "host/guid.h"
#include "support/strings.h"

class service_ref;

// First three slots of every service, the player's and the component's alike.
class service_base {
 public:
  virtual std::int32_t release() = 0;        // count after the release
  virtual std::int32_t add_reference() = 0;  // count after the addition
  // True, with `out` holding a new reference (its old one released), when the
  // object implements the class `id`. False leaves `out` untouched.
  virtual bool query_by_guid(service_ref* out, const guid* id) = 0;

 protected:
  ~service_base() = default;
};

// Opaque class handle from host_api; never examined by the component.
using service_class_handle = std::uint32_t;

// The player's service enumeration object, kept for the life of the module.
// Not a service: it is not counted and the component never releases it.
class host_api {
 public:
  virtual service_class_handle find_service_class(const guid* class_id) = 0;
  // True: `out` holds a new reference to instance `index` that the caller owns.
  // False: no such instance; enumeration stops at the first false.
  virtual bool create_service_instance(service_ref* out, service_class_handle service_class, std::uint32_t index) = 0;
  virtual std::uint32_t count_service_instances(service_class_handle service_class) = 0;

 protected:
  ~host_api() = default;
};

// A console of the player. The component always passes zero-terminated text
// with length 0xFFFFFFFF ("up to the terminating zero").
class console_sink : public service_base {
 public:
  static constexpr guid class_id = {0x90DF5270, 0x65BB, 0x4DBA, {0xBA, 0xF5, 0x86, 0xBE, 0x9E, 0x59, 0xDC, 0x20}};
  virtual void write_text(const char* text, std::uint32_t length) = 0;

 protected:
  ~console_sink() = default;
};

// --- Configuration streams: the player's, passed for one save or load call ---

// Polled before work that may be abandoned.
class abort_signal {
 public:
  virtual bool cancel_requested() = 0;

 protected:
  ~abort_signal() = default;
};

class readable_stream {
 public:
  // Fewer than `count` bytes only at the end of the stream.
  virtual std::uint32_t read_bytes(void* destination, std::uint32_t count, abort_signal& abort) = 0;
  // Exactly `count` bytes or an error.
  virtual void read_exact(void* destination, std::uint32_t count, abort_signal& abort) = 0;
  virtual std::uint64_t skip_bytes(std::uint64_t count, abort_signal& abort) = 0;
  virtual void skip_exact(std::uint64_t count, abort_signal& abort) = 0;

 protected:
  ~readable_stream() = default;
};

class writable_stream {
 public:
  // All `count` bytes or an error.
  virtual void write_bytes(const void* source, std::uint32_t count, abort_signal& abort) = 0;

 protected:
  ~writable_stream() = default;
};

// --- Playback: objects the player hands to the handler ---

// A counted reference to a track. Passed by value (a plain pointer, possibly
// null) into the handler, which owns it and releases it.
class track_handle : public service_base {
 protected:
  ~track_handle() = default;
};

// Track information of the player, valid for the duration of the call that
// passes it. Not a service: no counting. Slots 1 to 3 are never called.
class track_info {
 public:
  static constexpr std::uint32_t no_field = 0xFFFFFFFF;
  virtual double length_seconds() const = 0;
  virtual void unused_slot_1() = 0;
  virtual void unused_slot_2() = 0;
  virtual void unused_slot_3() = 0;
  virtual std::uint32_t field_count() const = 0;
  virtual const char* field_name(std::uint32_t field) const = 0;
  virtual std::uint32_t field_value_count(std::uint32_t field) const = 0;
  virtual const char* field_value(std::uint32_t field, std::uint32_t value) const = 0;
  // Index of the field called `name` (first `length` bytes, 0xFFFFFFFF = up to
  // the zero), or no_field.
  virtual std::uint32_t find_field(const char* name, std::uint32_t length) const = 0;

 protected:
  ~track_info() = default;
};

// Playback events, delivered by the player on the thread that owns the
// window. Not a service: no counting, never published through a factory.
// The comments give the bytes each slot takes on the stack.
class play_callback {
 public:
  virtual void playback_starting(std::uint32_t command, bool paused) = 0;  // 8
  virtual void new_track(track_handle* track) = 0;                         // 4, owned
  virtual void playback_stopped(std::uint32_t reason) = 0;                 // 4
  virtual void seek(double seconds) = 0;                                   // 8
  virtual void pause_changed(bool paused) = 0;                             // 4
  virtual void track_edited(track_handle* track) = 0;                      // 4, owned
  virtual void dynamic_info(const track_info* info) = 0;                   // 4
  virtual void dynamic_info_track(const track_info* info) = 0;             // 4
  virtual void time_tick(double seconds) = 0;                              // 8
  virtual void volume_changed(float decibels) = 0;                         // 4

 protected:
  ~play_callback() = default;
};

// The player's registry of playback handlers. There is no withdrawal slot the
// component may use: a registered handler must stay valid while it can be called.
class playback_callback_registry : public service_base {
 public:
  static constexpr guid class_id = {0x78BCBFA1, 0xDFB9, 0x487F, {0xAB, 0x16, 0xCD, 0x82, 0xBF, 0x90, 0xCC, 0xF7}};
  virtual void register_callback(play_callback* handler, std::uint32_t event_mask, bool only_when_visible) = 0;

 protected:
  ~playback_callback_registry() = default;
};

// --- Services the component publishes ---

// The component's identity; each operation answers with one set_text.
class componentversion : public service_base {
 public:
  static constexpr guid class_id = {0x10BB3EBD, 0xDDF7, 0x4975, {0xA3, 0xCC, 0x23, 0x08, 0x48, 0x29, 0x45, 0x3E}};
  virtual void file_name(pfc::string_base& out) = 0;
  virtual void component_name(pfc::string_base& out) = 0;
  virtual void component_version(pfc::string_base& out) = 0;
  virtual void about_text(pfc::string_base& out) = 0;

 protected:
  ~componentversion() = default;
};

// Called once after the player has started and once at shutdown, on the
// player's main thread.
class initquit : public service_base {
 public:
  static constexpr guid class_id = {0x113773C4, 0xB387, 0x4B48, {0x8B, 0xDF, 0xAB, 0x58, 0xBC, 0x6C, 0xE5, 0x38}};
  virtual void start() = 0;
  virtual void quit() = 0;

 protected:
  ~initquit() = default;
};

class service_factory_base;

// What foobar2000_get_interface returns. Static; no data besides its table.
class component_client {
 public:
  virtual std::uint32_t interface_version() = 0;
  virtual service_factory_base* first_factory() = 0;
  // Errors from the configuration streams pass through to the player.
  virtual void save_configuration(writable_stream* stream, abort_signal* abort) = 0;
  virtual void load_configuration(readable_stream* stream, abort_signal* abort) = 0;
  virtual void set_module_location(const char* path, const char* file_name) = 0;
  // One byte in a stack word; any non-zero byte means ready.
  virtual void set_services_ready(std::uint8_t ready) = 0;
  virtual bool debug_build() = 0;

 protected:
  ~component_client() = default;
};
