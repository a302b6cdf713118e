// The player's side of the host boundary, as vek-player lends it to the
// component: its services, the references it counts, the track information
// and strings it hands over. Calls the player never receives (unused slots,
// out-of-range indices, unknown class handles) print a line and abort the
// process.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "host/interfaces.h"
#include "host/services.h"

// A text the component passes with a length: at most `limit` bytes, ending
// early at a zero byte.
std::string_view bounded_text(const char* text, std::size_t limit);

// Counts the references the component takes and gives back. The object starts
// with the one reference its owner holds and is never destroyed by release;
// query_by_guid answers for Interface's own class only.
template <class Interface>
class counted_service : public Interface {
 public:
  std::int32_t release() override { return 1 + --balance_; }
  std::int32_t add_reference() override { return 1 + ++balance_; }
  bool query_by_guid(service_ref* out, const guid* id) override {
    if constexpr (requires { Interface::class_id; }) {
      if (*id == Interface::class_id) {
        add_reference();
        out->attach(this);
        return true;
      }
    }
    return false;
  }

  // References taken and not yet released: 0 once every one was given back.
  std::int32_t balance() const { return balance_; }

 private:
  std::int32_t balance_ = 0;
};

// A reference handed to the component by value; it must release it once.
class player_track_handle final : public counted_service<track_handle> {};

// The player's service enumeration: instances registered per class, handed
// out with a new reference that the caller owns.
class player_host_api : public host_api {
 public:
  // Registers `instance` as the next index of `class_id`; the owner keeps it alive.
  void add_service(const guid& class_id, service_base& instance);
  template <class Service>
  void add_service(Service& instance) {
    add_service(Service::class_id, instance);
  }

  service_class_handle find_service_class(const guid* class_id) override;
  bool create_service_instance(service_ref* out, service_class_handle service_class, std::uint32_t index) override;
  std::uint32_t count_service_instances(service_class_handle service_class) override;

 private:
  struct registered_class {
    guid id;
    std::vector<service_base*> instances;
  };
  registered_class& class_for(const guid& id);
  registered_class& class_at(service_class_handle handle);

  std::vector<registered_class> classes_;  // handle = position + 1
};

class player_callback_registry final : public counted_service<playback_callback_registry> {
 public:
  struct registration {
    play_callback* handler;
    std::uint32_t event_mask;
    bool only_when_visible;
  };
  void register_callback(play_callback* handler, std::uint32_t event_mask, bool only_when_visible) override;
  const std::vector<registration>& registrations() const { return registrations_; }

 private:
  std::vector<registration> registrations_;
};

struct player_field {
  std::string name;
  std::vector<std::string> values;
};

// Track information with ordered fields. find_field answers the first field
// whose whole name equals the first `length` bytes of `name` (up to its zero),
// case-sensitively.
class player_track_info : public track_info {
 public:
  explicit player_track_info(std::vector<player_field> fields, double length_seconds = 0);

  double length_seconds() const override { return length_seconds_; }
  void unused_slot_1() override;
  void unused_slot_2() override;
  void unused_slot_3() override;
  std::uint32_t field_count() const override { return static_cast<std::uint32_t>(fields_.size()); }
  const char* field_name(std::uint32_t field) const override;
  std::uint32_t field_value_count(std::uint32_t field) const override;
  const char* field_value(std::uint32_t field, std::uint32_t value) const override;
  std::uint32_t find_field(const char* name, std::uint32_t length) const override;

 private:
  const player_field& field_at(std::uint32_t field) const;

  std::vector<player_field> fields_;
  double length_seconds_;
};

// A player's string, for the component's answers.
class player_host_string : public pfc::string_base {
 public:
  explicit player_host_string(std::string_view initial = {}) : text_(initial) {}

  const std::string& text() const { return text_; }

  void append_text(const char* text, std::size_t limit) override;
  const char* text_pointer() const override;
  void set_text(const char* text, std::size_t limit) override;
  void shorten(std::size_t new_length) override;
  std::size_t text_length() const override;
  char* open_buffer(std::size_t length) override;
  void close_buffer() override;

 private:
  std::string text_;
};
