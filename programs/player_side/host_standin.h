// Stand-ins for the player's side of the host boundary, shared by the native
// tests, the Windows test program and the player stand-in tool. Each object
// records how the component used it, and most can be told to fail at a chosen
// call. Calls the player never receives (unused slots, out-of-range indices,
// unknown class handles) print a line and abort the process.
#pragma once

#include <cstddef>
#include <cstdint>
#include <exception>
#include <string>
#include <string_view>
#include <vector>

#include "host/interfaces.h"
#include "host/services.h"

// Raises a chosen error at one chosen call, counted from 0 by the object.
class planned_failure {
 public:
  void plan(std::size_t call, std::exception_ptr error);
  // Rethrows the planned error when `call` is the chosen one.
  void check(std::size_t call) const;

 private:
  std::size_t call_ = 0;
  std::exception_ptr error_;
};

// The error a player's stream raises for an exact read or skip past its end.
std::exception_ptr truncation_error();

// Counts the references the component takes and gives back. The object starts
// with the one reference its owner (the test) holds and is never destroyed by
// release; query_by_guid answers for Interface's own class only.
template <class Interface>
class counted_service : public Interface {
 public:
  std::int32_t release() override {
    ++releases_;
    return 1 + balance();
  }
  std::int32_t add_reference() override {
    ++additions_;
    return 1 + balance();
  }
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

  std::int32_t add_reference_calls() const { return additions_; }
  std::int32_t release_calls() const { return releases_; }
  // References taken and not yet released: 0 once every one was given back.
  std::int32_t balance() const { return additions_ - releases_; }

 private:
  std::int32_t additions_ = 0;
  std::int32_t releases_ = 0;
};

// A reference handed to the component by value; it must release it once.
class player_track_handle final : public counted_service<track_handle> {};

// The player's service enumeration: instances registered per class, handed
// out with a new reference that the caller owns.
class player_host_api final : public host_api {
 public:
  enum class call { find_service_class, create_service_instance, count_service_instances };
  // How create_service_instance answers for an index that exists: `refused`
  // returns false (so count and create disagree); `filled_but_refused` stores
  // a new reference in the holder and still returns false.
  enum class creation { normal, refused, filled_but_refused };

  // Registers `instance` as the next index of `class_id`; the test keeps it alive.
  void add_service(const guid& class_id, service_base& instance);
  template <class Service>
  void add_service(Service& instance) {
    add_service(Service::class_id, instance);
  }
  void set_creation(const guid& class_id, creation answer);
  // The `nth` call (from 0) of operation `which` raises `error` instead of answering.
  void fail_call(call which, std::size_t nth, std::exception_ptr error);
  std::size_t calls(call which) const { return calls_[static_cast<int>(which)]; }

  service_class_handle find_service_class(const guid* class_id) override;
  bool create_service_instance(service_ref* out, service_class_handle service_class, std::uint32_t index) override;
  std::uint32_t count_service_instances(service_class_handle service_class) override;

 private:
  struct registered_class {
    guid id;
    std::vector<service_base*> instances;
    creation answer = creation::normal;
  };
  registered_class& class_for(const guid& id);
  registered_class& class_at(service_class_handle handle);
  void count_call(call which);

  std::vector<registered_class> classes_;  // handle = position + 1
  std::size_t calls_[3] = {};
  planned_failure failures_[3];
};

class player_console_sink final : public counted_service<console_sink> {
 public:
  struct write {
    std::string text;  // as the sink read it: up to the zero or `length` bytes
    std::uint32_t length;
  };
  void write_text(const char* text, std::uint32_t length) override;
  const std::vector<write>& writes() const { return writes_; }
  void fail_write(std::size_t nth, std::exception_ptr error) { failure_.plan(nth, std::move(error)); }

 private:
  std::vector<write> writes_;
  planned_failure failure_;
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
  bool found_by_name = true;  // false: find_field passes this field over
};

// Track information with ordered fields. find_field answers the first field
// whose whole name equals the first `length` bytes of `name` (up to its zero),
// case-sensitively, and logs each lookup.
class player_track_info final : public track_info {
 public:
  struct lookup {
    std::string name;  // the bytes compared
    std::uint32_t length;
  };
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

  const std::vector<lookup>& lookups() const { return lookups_; }

 private:
  const player_field& field_at(std::uint32_t field) const;

  std::vector<player_field> fields_;
  double length_seconds_;
  mutable std::vector<lookup> lookups_;
};

// A player's string: records every set_text and counts the other six calls.
class player_host_string final : public pfc::string_base {
 public:
  struct set_call {
    std::string text;  // the bytes taken
    std::size_t limit;
  };
  explicit player_host_string(std::string_view initial = {}) : text_(initial) {}

  const std::string& text() const { return text_; }
  const std::vector<set_call>& set_text_calls() const { return set_calls_; }
  std::size_t other_calls() const { return other_calls_; }

  void append_text(const char* text, std::size_t limit) override;
  const char* text_pointer() const override;
  void set_text(const char* text, std::size_t limit) override;
  void shorten(std::size_t new_length) override;
  std::size_t text_length() const override;
  char* open_buffer(std::size_t length) override;
  void close_buffer() override;

 private:
  std::string text_;
  std::vector<set_call> set_calls_;
  mutable std::size_t other_calls_ = 0;
};

enum class stream_operation { read_bytes, read_exact, skip_bytes, skip_exact, write_bytes };

struct stream_call {
  stream_operation operation;
  std::uint64_t count;
  const abort_signal* abort;
  friend bool operator==(const stream_call&, const stream_call&) = default;
};

// The call log and planned failure of the test streams.
class stream_recorder {
 public:
  const std::vector<stream_call>& calls() const { return calls_; }
  // The `nth` call (from 0) raises `error` before any byte moves.
  void fail_call(std::size_t nth, std::exception_ptr error = truncation_error()) {
    failure_.plan(nth, std::move(error));
  }

 protected:
  void record(stream_operation operation, std::uint64_t count, const abort_signal& abort);

 private:
  std::vector<stream_call> calls_;
  planned_failure failure_;
};

// Reads from a byte vector. Short reads and skips happen only at the end; an
// exact read or skip past the end takes what is left, then raises truncation_error().
class player_readable_stream final : public readable_stream, public stream_recorder {
 public:
  explicit player_readable_stream(std::vector<std::uint8_t> bytes) : bytes_(std::move(bytes)) {}
  std::size_t position() const { return position_; }

  std::uint32_t read_bytes(void* destination, std::uint32_t count, abort_signal& abort) override;
  void read_exact(void* destination, std::uint32_t count, abort_signal& abort) override;
  std::uint64_t skip_bytes(std::uint64_t count, abort_signal& abort) override;
  void skip_exact(std::uint64_t count, abort_signal& abort) override;

 private:
  std::uint32_t copy_out(void* destination, std::uint32_t count);
  std::uint64_t advance(std::uint64_t count);

  std::vector<std::uint8_t> bytes_;
  std::size_t position_ = 0;
};

// Appends everything written to a byte vector.
class player_writable_stream final : public writable_stream, public stream_recorder {
 public:
  const std::vector<std::uint8_t>& bytes() const { return bytes_; }
  void write_bytes(const void* source, std::uint32_t count, abort_signal& abort) override;

 private:
  std::vector<std::uint8_t> bytes_;
};

class player_abort_signal final : public abort_signal {
 public:
  void set_answer(bool cancel) { cancel_ = cancel; }
  std::size_t calls() const { return calls_; }
  bool cancel_requested() override {
    ++calls_;
    return cancel_;
  }

 private:
  bool cancel_ = false;
  std::size_t calls_ = 0;
};
