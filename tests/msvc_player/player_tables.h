// The operation tables shared with a component, as the player declares them.
// The slot order is the binary contract (thiscall, callee pops); no table has
// a destructor, which would take slots.
#pragma once

#include "imports.h"

struct guid {
  std::uint32_t data1;
  std::uint16_t data2;
  std::uint16_t data3;
  std::uint8_t data4[8];
};
inline bool operator==(const guid& a, const guid& b) { return memcmp(&a, &b, sizeof(guid)) == 0; }

class service_base;

// A holder the player fills with a new reference: one pointer wide.
struct service_ref {
  service_base* object;
};

// --- The player's objects ---

class service_base {
 public:
  virtual std::int32_t release() = 0;
  virtual std::int32_t add_reference() = 0;
  virtual bool query_by_guid(service_ref* out, const guid* id) = 0;

 protected:
  ~service_base() = default;
};

// Not counted: the component keeps it for the life of the module.
class host_api {
 public:
  virtual std::uint32_t find_service_class(const guid* class_id) = 0;
  virtual bool create_service_instance(service_ref* out, std::uint32_t service_class, std::uint32_t index) = 0;
  virtual std::uint32_t count_service_instances(std::uint32_t service_class) = 0;

 protected:
  ~host_api() = default;
};

class console_sink : public service_base {
 public:
  static constexpr guid class_id = {0x90DF5270, 0x65BB, 0x4DBA, {0xBA, 0xF5, 0x86, 0xBE, 0x9E, 0x59, 0xDC, 0x20}};
  virtual void write_text(const char* text, std::uint32_t length) = 0;

 protected:
  ~console_sink() = default;
};

class abort_signal {
 public:
  virtual bool cancel_requested() = 0;

 protected:
  ~abort_signal() = default;
};

class readable_stream {
 public:
  virtual std::uint32_t read_bytes(void* destination, std::uint32_t count, abort_signal& abort) = 0;
  virtual void read_exact(void* destination, std::uint32_t count, abort_signal& abort) = 0;
  virtual std::uint64_t skip_bytes(std::uint64_t count, abort_signal& abort) = 0;
  virtual void skip_exact(std::uint64_t count, abort_signal& abort) = 0;

 protected:
  ~readable_stream() = default;
};

class writable_stream {
 public:
  virtual void write_bytes(const void* source, std::uint32_t count, abort_signal& abort) = 0;

 protected:
  ~writable_stream() = default;
};

class track_handle : public service_base {
 protected:
  ~track_handle() = default;
};

// Not counted; valid for the call that passes it. Slots 1 to 3 are never called.
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
  virtual std::uint32_t find_field(const char* name, std::uint32_t length) const = 0;

 protected:
  ~track_info() = default;
};

class play_callback;

class playback_callback_registry : public service_base {
 public:
  static constexpr guid class_id = {0x78BCBFA1, 0xDFB9, 0x487F, {0xAB, 0x16, 0xCD, 0x82, 0xBF, 0x90, 0xCC, 0xF7}};
  virtual void register_callback(play_callback* handler, std::uint32_t event_mask, bool only_when_visible) = 0;

 protected:
  ~playback_callback_registry() = default;
};

namespace pfc {

class string_receiver {
 public:
  virtual void append_text(const char* text, std::size_t limit) = 0;

 protected:
  ~string_receiver() = default;
};

class string_base : public string_receiver {
 public:
  virtual const char* text_pointer() const = 0;
  virtual void set_text(const char* text, std::size_t limit) = 0;
  virtual void shorten(std::size_t new_length) = 0;
  virtual std::size_t text_length() const = 0;
  virtual char* open_buffer(std::size_t length) = 0;
  virtual void close_buffer() = 0;

 protected:
  ~string_base() = default;
};

}  // namespace pfc

// --- The component's objects ---

class play_callback {
 public:
  virtual void playback_starting(std::uint32_t command, bool paused) = 0;
  virtual void new_track(track_handle* track) = 0;  // the component owns the reference
  virtual void playback_stopped(std::uint32_t reason) = 0;
  virtual void seek(double seconds) = 0;
  virtual void pause_changed(bool paused) = 0;
  virtual void track_edited(track_handle* track) = 0;
  virtual void dynamic_info(const track_info* info) = 0;
  virtual void dynamic_info_track(const track_info* info) = 0;
  virtual void time_tick(double seconds) = 0;
  virtual void volume_changed(float decibels) = 0;

 protected:
  ~play_callback() = default;
};

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

class initquit : public service_base {
 public:
  static constexpr guid class_id = {0x113773C4, 0xB387, 0x4B48, {0x8B, 0xDF, 0xAB, 0x58, 0xBC, 0x6C, 0xE5, 0x38}};
  virtual void start() = 0;
  virtual void quit() = 0;

 protected:
  ~initquit() = default;
};

// A factory record as the player reads it: table, next record, class GUID,
// then the component's service.
class service_factory {
 public:
  virtual void create_instance(service_ref* out) = 0;

  service_factory* next_factory;
  const guid* class_id;

 protected:
  ~service_factory() = default;
};

class component_client {
 public:
  virtual std::uint32_t interface_version() = 0;
  virtual service_factory* first_factory() = 0;
  virtual void save_configuration(writable_stream* stream, abort_signal* abort) = 0;
  virtual void load_configuration(readable_stream* stream, abort_signal* abort) = 0;
  virtual void set_module_location(const char* path, const char* file_name) = 0;
  virtual void set_services_ready(std::uint8_t ready) = 0;
  virtual bool debug_build() = 0;

 protected:
  ~component_client() = default;
};
