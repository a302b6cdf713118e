// The player's objects as the tests need them: vek-player's own, with call
// logs and failures planned at a chosen call, and the objects vek-player never
// lends (a console that keeps its lines, the configuration streams, the abort
// signal).
#pragma once

#include <cstddef>
#include <cstdint>
#include <exception>
#include <map>
#include <string>
#include <vector>

#include "host/interfaces.h"
#include "host/services.h"
#include "player_side/lent_services.h"

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

// A track handle that counts the releases it receives.
class counting_track_handle final : public counted_service<track_handle> {
 public:
  std::int32_t release() override {
    ++releases_;
    return counted_service::release();
  }
  std::int32_t release_calls() const { return releases_; }

 private:
  std::int32_t releases_ = 0;
};

// The player's service enumeration, counting each operation, failing at a
// planned call, and answering creation as told.
class scripted_host_api final : public player_host_api {
 public:
  enum class call { find_service_class, create_service_instance, count_service_instances };
  // How create_service_instance answers for an index that exists: `refused`
  // returns false (so count and create disagree); `filled_but_refused` stores
  // a new reference in the holder and still returns false.
  enum class creation { normal, refused, filled_but_refused };

  void set_creation(const guid& class_id, creation answer);
  // The `nth` call (from 0) of operation `which` raises `error` instead of answering.
  void fail_call(call which, std::size_t nth, std::exception_ptr error);
  std::size_t calls(call which) const { return calls_[static_cast<int>(which)]; }

  service_class_handle find_service_class(const guid* class_id) override;
  bool create_service_instance(service_ref* out, service_class_handle service_class, std::uint32_t index) override;
  std::uint32_t count_service_instances(service_class_handle service_class) override;

 private:
  void count_call(call which);

  std::map<service_class_handle, creation> answers_;
  std::size_t calls_[3] = {};
  planned_failure failures_[3];
};

// A console that keeps every write and can fail one.
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

// A field as a test lists it; one not found by name is one a careless
// player's find_field passes over.
struct test_field {
  std::string name;
  std::vector<std::string> values;
  bool found_by_name = true;
};

// Track information that logs each find_field and passes over the fields not
// found by name.
class recording_track_info final : public player_track_info {
 public:
  struct lookup {
    std::string name;  // the bytes compared
    std::uint32_t length;
  };
  explicit recording_track_info(const std::vector<test_field>& fields, double length_seconds = 0);

  std::uint32_t find_field(const char* name, std::uint32_t length) const override;
  const std::vector<lookup>& lookups() const { return lookups_; }

 private:
  std::vector<bool> found_by_name_;
  mutable std::vector<lookup> lookups_;
};

// A player's string that records every set_text and counts the other six calls.
class recording_host_string final : public player_host_string {
 public:
  struct set_call {
    std::string text;  // the bytes taken
    std::size_t limit;
  };
  using player_host_string::player_host_string;

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
