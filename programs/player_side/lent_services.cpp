#include "player_side/lent_services.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

[[noreturn]] void unexpected_call(const char* what) {
  std::fprintf(stderr, "host object: unexpected call: %s\n", what);
  std::fflush(stderr);
  std::abort();
}

}  // namespace

std::string_view bounded_text(const char* text, std::size_t limit) {
  std::size_t length = 0;
  while (length < limit && text[length] != '\0') ++length;
  return {text, length};
}

// --- player_host_api ---

void player_host_api::add_service(const guid& class_id, service_base& instance) {
  class_for(class_id).instances.push_back(&instance);
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
  const registered_class& found = class_for(*class_id);
  return static_cast<service_class_handle>(&found - classes_.data() + 1);
}

bool player_host_api::create_service_instance(service_ref* out, service_class_handle service_class,
                                              std::uint32_t index) {
  const registered_class& found = class_at(service_class);
  if (index >= found.instances.size()) return false;
  found.instances[index]->add_reference();
  out->attach(found.instances[index]);
  return true;
}

std::uint32_t player_host_api::count_service_instances(service_class_handle service_class) {
  return static_cast<std::uint32_t>(class_at(service_class).instances.size());
}

// --- callback registry ---

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
  for (std::size_t field = 0; field < fields_.size(); ++field) {
    // Compared as the component sees the name: up to its first zero.
    if (std::string_view(fields_[field].name.c_str()) == wanted) return static_cast<std::uint32_t>(field);
  }
  return no_field;
}

// --- player_host_string ---

// Sources are copied first: they may point into text_ itself.
void player_host_string::append_text(const char* text, std::size_t limit) {
  text_ += std::string(bounded_text(text, limit));
}

const char* player_host_string::text_pointer() const { return text_.c_str(); }

void player_host_string::set_text(const char* text, std::size_t limit) {
  text_ = std::string(bounded_text(text, limit));
}

void player_host_string::shorten(std::size_t new_length) {
  if (new_length < text_.size()) text_.resize(new_length);
}

std::size_t player_host_string::text_length() const { return text_.size(); }

char* player_host_string::open_buffer(std::size_t length) {
  text_.assign(length, '\0');
  return text_.data();
}

void player_host_string::close_buffer() { text_.resize(std::strlen(text_.c_str())); }
