#include "player_side/host_standin.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "support/errors.h"

namespace {

[[noreturn]] void unexpected_call(const char* what) {
  std::fprintf(stderr, "host object: unexpected call: %s\n", what);
  std::fflush(stderr);
  std::abort();
}

// At most `limit` bytes of `text`, ending early at a zero byte.
std::string_view bounded_text(const char* text, std::size_t limit) {
  std::size_t length = 0;
  while (length < limit && text[length] != '\0') ++length;
  return {text, length};
}

}  // namespace

void planned_failure::plan(std::size_t call, std::exception_ptr error) {
  call_ = call;
  error_ = std::move(error);
}

void planned_failure::check(std::size_t call) const {
  if (error_ && call == call_) std::rethrow_exception(error_);
}

std::exception_ptr truncation_error() { return std::make_exception_ptr(foobar2000_io::exception_io_data_truncation()); }

// --- player_host_api ---

void player_host_api::add_service(const guid& class_id, service_base& instance) {
  class_for(class_id).instances.push_back(&instance);
}

void player_host_api::set_creation(const guid& class_id, creation answer) { class_for(class_id).answer = answer; }

void player_host_api::fail_call(call which, std::size_t nth, std::exception_ptr error) {
  failures_[static_cast<int>(which)].plan(nth, std::move(error));
}

void player_host_api::count_call(call which) {
  const int slot = static_cast<int>(which);
  failures_[slot].check(calls_[slot]++);
}

player_host_api::registered_class& player_host_api::class_for(const guid& id) {
  for (registered_class& known : classes_) {
    if (known.id == id) return known;
  }
  return classes_.emplace_back(registered_class{id, {}});
}

player_host_api::registered_class& player_host_api::class_at(service_class_handle handle) {
  if (handle == 0 || handle > classes_.size()) unexpected_call("unknown service class handle");
  return classes_[handle - 1];
}

// Any class can be looked up; one nobody registered simply has no instances.
service_class_handle player_host_api::find_service_class(const guid* class_id) {
  count_call(call::find_service_class);
  const registered_class& found = class_for(*class_id);
  return static_cast<service_class_handle>(&found - classes_.data() + 1);
}

bool player_host_api::create_service_instance(service_ref* out, service_class_handle service_class, std::uint32_t index) {
  count_call(call::create_service_instance);
  const registered_class& found = class_at(service_class);
  if (index >= found.instances.size() || found.answer == creation::refused) return false;
  found.instances[index]->add_reference();
  out->attach(found.instances[index]);
  return found.answer == creation::normal;
}

std::uint32_t player_host_api::count_service_instances(service_class_handle service_class) {
  count_call(call::count_service_instances);
  return static_cast<std::uint32_t>(class_at(service_class).instances.size());
}

// --- console sink and callback registry ---

void player_console_sink::write_text(const char* text, std::uint32_t length) {
  failure_.check(writes_.size());
  writes_.push_back({std::string(bounded_text(text, length)), length});
}

void player_callback_registry::register_callback(play_callback* handler, std::uint32_t event_mask,
                                               bool only_when_visible) {
  registrations_.push_back({handler, event_mask, only_when_visible});
}

// --- player_track_info ---

player_track_info::player_track_info(std::vector<player_field> fields, double length_seconds)
    : fields_(std::move(fields)), length_seconds_(length_seconds) {}

void player_track_info::unused_slot_1() { unexpected_call("track_info slot 1"); }
void player_track_info::unused_slot_2() { unexpected_call("track_info slot 2"); }
void player_track_info::unused_slot_3() { unexpected_call("track_info slot 3"); }

const player_field& player_track_info::field_at(std::uint32_t field) const {
  if (field >= fields_.size()) unexpected_call("track_info field index out of range");
  return fields_[field];
}

const char* player_track_info::field_name(std::uint32_t field) const { return field_at(field).name.c_str(); }

std::uint32_t player_track_info::field_value_count(std::uint32_t field) const {
  return static_cast<std::uint32_t>(field_at(field).values.size());
}

const char* player_track_info::field_value(std::uint32_t field, std::uint32_t value) const {
  const std::vector<std::string>& values = field_at(field).values;
  if (value >= values.size()) unexpected_call("track_info value index out of range");
  return values[value].c_str();
}

std::uint32_t player_track_info::find_field(const char* name, std::uint32_t length) const {
  const std::string_view wanted = bounded_text(name, length);
  lookups_.push_back({std::string(wanted), length});
  for (std::size_t field = 0; field < fields_.size(); ++field) {
    // Compared as the component sees the name: up to its first zero.
    if (fields_[field].found_by_name && std::string_view(fields_[field].name.c_str()) == wanted) {
      return static_cast<std::uint32_t>(field);
    }
  }
  return no_field;
}

// --- player_host_string ---

// Sources are copied first: they may point into text_ itself.
void player_host_string::append_text(const char* text, std::size_t limit) {
  ++other_calls_;
  text_ += std::string(bounded_text(text, limit));
}

const char* player_host_string::text_pointer() const {
  ++other_calls_;
  return text_.c_str();
}

void player_host_string::set_text(const char* text, std::size_t limit) {
  std::string taken(bounded_text(text, limit));
  set_calls_.push_back({taken, limit});
  text_ = std::move(taken);
}

void player_host_string::shorten(std::size_t new_length) {
  ++other_calls_;
  if (new_length < text_.size()) text_.resize(new_length);
}

std::size_t player_host_string::text_length() const {
  ++other_calls_;
  return text_.size();
}

char* player_host_string::open_buffer(std::size_t length) {
  ++other_calls_;
  text_.assign(length, '\0');
  return text_.data();
}

void player_host_string::close_buffer() {
  ++other_calls_;
  text_.resize(std::strlen(text_.c_str()));
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
