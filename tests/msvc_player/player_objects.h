// The player's objects that the component calls. Each counts its calls per
// table slot and can raise a chosen player error at a chosen call; the counted
// services also count the references the component takes and gives back.
#pragma once

#include "player_exceptions.h"
#include "player_tables.h"
#include "report.h"

// What a planned fault raises, by value as the player throws it.
enum class player_fault { none, own_error, truncation, abort };

// The message of the player's own aborts: its address identifies the player's object.
inline constexpr char player_abort_message[] = "User abort";

[[noreturn]] void raise_player_fault(player_fault fault, int detail);

// Counts the calls of each slot; the `nth` call (from 0) of the planned slot raises.
class fault_point {
 public:
  // Starts the counts afresh.
  void plan(std::uint32_t slot, std::uint32_t nth, player_fault fault, int detail = 0);
  void clear() { plan(0, 0, player_fault::none); }
  // Counts a call of `slot` and raises when it is the planned one.
  void enter(std::uint32_t slot);
  std::uint32_t calls(std::uint32_t slot) const { return calls_[slot]; }

 private:
  static constexpr std::uint32_t slot_count = 10;
  std::uint32_t calls_[slot_count] = {};
  std::uint32_t slot_ = 0, nth_ = 0;
  player_fault fault_ = player_fault::none;
  int detail_ = 0;
};

// A service the scenario owns: release never destroys it.
template <class Interface>
class counted : public Interface {
 public:
  enum : std::uint32_t { release_slot, add_reference_slot, query_by_guid_slot };
  // A release that raises still gives its reference back.
  std::int32_t release() override {
    ++releases_;
    faults.enter(release_slot);
    return 1 + balance();
  }
  std::int32_t add_reference() override {
    faults.enter(add_reference_slot);
    ++additions_;
    return 1 + balance();
  }
  // The component never asks a player object for another interface.
  bool query_by_guid(service_ref*, const guid*) override {
    faults.enter(query_by_guid_slot);
    return false;
  }
  // References taken and not given back.
  std::int32_t balance() const { return additions_ - releases_; }

  fault_point faults;

 private:
  std::int32_t additions_ = 0, releases_ = 0;
};

// The service enumeration: instances registered per class GUID, each handed
// out with a new reference the caller owns. Unknown classes have none.
class player_host_api final : public host_api {
 public:
  enum : std::uint32_t { find_service_class_slot, create_service_instance_slot, count_service_instances_slot };
  template <class Service>
  void add_service(Service& instance) {
    class_for(Service::class_id).add(instance);
  }
  std::uint32_t find_service_class(const guid* class_id) override;
  bool create_service_instance(service_ref* out, std::uint32_t service_class, std::uint32_t index) override;
  std::uint32_t count_service_instances(std::uint32_t service_class) override;

  fault_point faults;

 private:
  struct registered_class {
    guid id;
    service_base* instances[4];
    std::uint32_t count;
    void add(service_base& instance);
  };
  registered_class& class_for(const guid& id);
  registered_class& class_at(std::uint32_t handle);

  registered_class classes_[4] = {};
  std::uint32_t class_count_ = 0;  // handle = position + 1
};

// Keeps the lines written to it, each up to its zero.
class player_console final : public counted<console_sink> {
 public:
  enum : std::uint32_t { write_text_slot = 3 };
  void write_text(const char* text, std::uint32_t length) override;
  std::uint32_t line_count() const { return line_count_; }
  const char* line(std::uint32_t index) const { return lines_[index]; }

 private:
  char lines_[8][64] = {};
  std::uint32_t line_count_ = 0;
};

// Keeps the last handler registered.
class player_registry final : public counted<playback_callback_registry> {
 public:
  enum : std::uint32_t { register_callback_slot = 3 };
  void register_callback(play_callback* handler, std::uint32_t event_mask, bool only_when_visible) override;
  std::uint32_t registrations() const { return registrations_; }
  play_callback* last_handler() const { return last_handler_; }

 private:
  std::uint32_t registrations_ = 0;
  play_callback* last_handler_ = nullptr;
};

// A reference handed to the component, which must release it once.
class player_track_handle final : public counted<track_handle> {};

struct track_field {
  const char* name;
  const char* value;
};

// Single-valued fields in order and a length; find_field compares whole names.
class player_track_info final : public track_info {
 public:
  enum : std::uint32_t {
    length_seconds_slot,
    field_count_slot = 4,
    field_name_slot,
    field_value_count_slot,
    field_value_slot,
    find_field_slot
  };
  template <std::uint32_t N>
  player_track_info(const track_field (&fields)[N], double length) : fields_(fields), count_(N), length_(length) {}

  double length_seconds() const override;
  void unused_slot_1() override { fatal("track_info slot 1"); }
  void unused_slot_2() override { fatal("track_info slot 2"); }
  void unused_slot_3() override { fatal("track_info slot 3"); }
  std::uint32_t field_count() const override;
  const char* field_name(std::uint32_t field) const override;
  std::uint32_t field_value_count(std::uint32_t field) const override;
  const char* field_value(std::uint32_t field, std::uint32_t value) const override;
  std::uint32_t find_field(const char* name, std::uint32_t length) const override;

  mutable fault_point faults;

 private:
  const track_field& field_at(std::uint32_t field) const;

  const track_field* fields_;
  std::uint32_t count_;
  double length_;
};

// A string of up to 255 bytes; longer text is cut (no scenario needs more).
class player_string final : public pfc::string_base {
 public:
  enum : std::uint32_t {
    append_text_slot,
    text_pointer_slot,
    set_text_slot,
    shorten_slot,
    text_length_slot,
    open_buffer_slot,
    close_buffer_slot
  };
  void append_text(const char* text, std::size_t limit) override;
  const char* text_pointer() const override;
  void set_text(const char* text, std::size_t limit) override;
  void shorten(std::size_t new_length) override;
  std::size_t text_length() const override;
  char* open_buffer(std::size_t length) override;
  void close_buffer() override;

  const char* text() const { return text_; }

  mutable fault_point faults;

 private:
  char text_[256] = {};
  std::size_t length_ = 0;
};

// Reads bytes the scenario owns. An exact read or skip past the end takes
// what is left, then raises the player's exception_io_data_truncation.
class player_reader final : public readable_stream {
 public:
  enum : std::uint32_t { read_bytes_slot, read_exact_slot, skip_bytes_slot, skip_exact_slot };
  player_reader(const std::uint8_t* bytes, std::uint32_t size) : bytes_(bytes), size_(size) {}

  std::uint32_t read_bytes(void* destination, std::uint32_t count, abort_signal& abort) override;
  void read_exact(void* destination, std::uint32_t count, abort_signal& abort) override;
  std::uint64_t skip_bytes(std::uint64_t count, abort_signal& abort) override;
  void skip_exact(std::uint64_t count, abort_signal& abort) override;

  std::uint32_t position() const { return position_; }

  fault_point faults;

 private:
  std::uint32_t take(void* destination, std::uint64_t count);

  const std::uint8_t* bytes_;
  std::uint32_t size_;
  std::uint32_t position_ = 0;
};

// Keeps up to 256 bytes written to it.
class player_writer final : public writable_stream {
 public:
  enum : std::uint32_t { write_bytes_slot };
  void write_bytes(const void* source, std::uint32_t count, abort_signal& abort) override;
  const std::uint8_t* bytes() const { return bytes_; }
  std::uint32_t size() const { return size_; }

  fault_point faults;

 private:
  std::uint8_t bytes_[256] = {};
  std::uint32_t size_ = 0;
};

// Never asks to cancel.
class player_abort final : public abort_signal {
 public:
  enum : std::uint32_t { cancel_requested_slot };
  bool cancel_requested() override {
    faults.enter(cancel_requested_slot);
    return false;
  }

  fault_point faults;
};
