#include "harness/player_fakes.h"

#include <algorithm>
#include <cstring>

#include "support/errors.h"

void planned_failure::plan(std::size_t call, std::exception_ptr error) {
  call_ = call;
  error_ = std::move(error);
}

void planned_failure::check(std::size_t call) const {
  if (error_ && call == call_) std::rethrow_exception(error_);
}

std::exception_ptr truncation_error() { return std::make_exception_ptr(foobar2000_io::exception_io_data_truncation()); }

// --- scripted_host_api ---

// Registering the class here gives it the handle the component will be given.
void scripted_host_api::set_creation(const guid& class_id, creation answer) {
  answers_[player_host_api::find_service_class(&class_id)] = answer;
}

void scripted_host_api::fail_call(call which, std::size_t nth, std::exception_ptr error) {
  failures_[static_cast<int>(which)].plan(nth, std::move(error));
}

void scripted_host_api::count_call(call which) {
  const int slot = static_cast<int>(which);
  failures_[slot].check(calls_[slot]++);
}

service_class_handle scripted_host_api::find_service_class(const guid* class_id) {
  count_call(call::find_service_class);
  return player_host_api::find_service_class(class_id);
}

// An unknown handle has no answer here, and the player's enumeration refuses it.
bool scripted_host_api::create_service_instance(service_ref* out, service_class_handle service_class,
                                                std::uint32_t index) {
  count_call(call::create_service_instance);
  const auto told = answers_.find(service_class);
  const creation answer = told == answers_.end() ? creation::normal : told->second;
  if (answer == creation::refused) return false;
  return player_host_api::create_service_instance(out, service_class, index) && answer == creation::normal;
}

std::uint32_t scripted_host_api::count_service_instances(service_class_handle service_class) {
  count_call(call::count_service_instances);
  return player_host_api::count_service_instances(service_class);
}

// --- console sink ---

void player_console_sink::write_text(const char* text, std::uint32_t length) {
  failure_.check(writes_.size());
  writes_.push_back({std::string(bounded_text(text, length)), length});
}

// --- recording_track_info ---

namespace {

std::vector<player_field> player_fields(const std::vector<test_field>& fields) {
  std::vector<player_field> listed;
  for (const test_field& field : fields) listed.push_back({field.name, field.values});
  return listed;
}

}  // namespace

recording_track_info::recording_track_info(const std::vector<test_field>& fields, double length_seconds)
    : player_track_info(player_fields(fields), length_seconds) {
  for (const test_field& field : fields) found_by_name_.push_back(field.found_by_name);
}

std::uint32_t recording_track_info::find_field(const char* name, std::uint32_t length) const {
  const std::string_view wanted = bounded_text(name, length);
  lookups_.push_back({std::string(wanted), length});
  for (std::uint32_t field = 0; field < field_count(); ++field) {
    // Compared as the component sees the name: up to its first zero.
    if (found_by_name_[field] && std::string_view(field_name(field)) == wanted) return field;
  }
  return no_field;
}

// --- recording_host_string ---

void recording_host_string::append_text(const char* text, std::size_t limit) {
  ++other_calls_;
  player_host_string::append_text(text, limit);
}

const char* recording_host_string::text_pointer() const {
  ++other_calls_;
  return player_host_string::text_pointer();
}

void recording_host_string::set_text(const char* text, std::size_t limit) {
  set_calls_.push_back({std::string(bounded_text(text, limit)), limit});
  player_host_string::set_text(text, limit);
}

void recording_host_string::shorten(std::size_t new_length) {
  ++other_calls_;
  player_host_string::shorten(new_length);
}

std::size_t recording_host_string::text_length() const {
  ++other_calls_;
  return player_host_string::text_length();
}

char* recording_host_string::open_buffer(std::size_t length) {
  ++other_calls_;
  return player_host_string::open_buffer(length);
}

void recording_host_string::close_buffer() {
  ++other_calls_;
  player_host_string::close_buffer();
}

// --- streams ---

void stream_recorder::record(stream_operation operation, std::uint64_t count, const abort_signal& abort) {
  calls_.push_back({operation, count, &abort});
  failure_.check(calls_.size() - 1);
}

std::uint64_t player_readable_stream::advance(std::uint64_t count) {
  const std::uint64_t taken = std::min<std::uint64_t>(count, bytes_.size() - position_);
  position_ += static_cast<std::size_t>(taken);
  return taken;
}

std::uint32_t player_readable_stream::copy_out(void* destination, std::uint32_t count) {
  const std::size_t from = position_;
  const auto taken = static_cast<std::uint32_t>(advance(count));
  if (taken > 0) std::memcpy(destination, bytes_.data() + from, taken);
  return taken;
}

std::uint32_t player_readable_stream::read_bytes(void* destination, std::uint32_t count, abort_signal& abort) {
  record(stream_operation::read_bytes, count, abort);
  return copy_out(destination, count);
}

void player_readable_stream::read_exact(void* destination, std::uint32_t count, abort_signal& abort) {
  record(stream_operation::read_exact, count, abort);
  if (copy_out(destination, count) < count) throw foobar2000_io::exception_io_data_truncation();
}

std::uint64_t player_readable_stream::skip_bytes(std::uint64_t count, abort_signal& abort) {
  record(stream_operation::skip_bytes, count, abort);
  return advance(count);
}

void player_readable_stream::skip_exact(std::uint64_t count, abort_signal& abort) {
  record(stream_operation::skip_exact, count, abort);
  if (advance(count) < count) throw foobar2000_io::exception_io_data_truncation();
}

void player_writable_stream::write_bytes(const void* source, std::uint32_t count, abort_signal& abort) {
  record(stream_operation::write_bytes, count, abort);
  const auto* bytes = static_cast<const std::uint8_t*>(source);
  bytes_.insert(bytes_.end(), bytes, bytes + count);
}
