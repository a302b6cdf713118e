#include "player_objects.h"

namespace {

// At most `limit` bytes of `text`, ending early at a zero byte.
std::size_t bounded_length(const char* text, std::size_t limit) {
  std::size_t length = 0;
  while (length < limit && text[length] != '\0') ++length;
  return length;
}

}  // namespace

void raise_player_fault(player_fault fault, int detail) {
  switch (fault) {
    case player_fault::own_error:
      throw player_error(detail);
    case player_fault::truncation:
      throw foobar2000_io::exception_io_data_truncation();
    case player_fault::abort:
      throw foobar2000_io::exception_aborted(player_abort_message, 1);
    case player_fault::none:
      break;
  }
  fatal("a fault without an error");
}

void fault_point::plan(std::uint32_t slot, std::uint32_t nth, player_fault fault, int detail) {
  memset(calls_, 0, sizeof calls_);
  slot_ = slot, nth_ = nth, fault_ = fault, detail_ = detail;
}

void fault_point::enter(std::uint32_t slot) {
  if (slot >= slot_count) fatal("slot beyond the table");
  const std::uint32_t call = calls_[slot]++;
  if (fault_ != player_fault::none && slot == slot_ && call == nth_) raise_player_fault(fault_, detail_);
}

// --- host_api ---

void player_host_api::registered_class::add(service_base& instance) {
  if (count == sizeof instances / sizeof *instances) fatal("too many instances of one class");
  instances[count++] = &instance;
}

player_host_api::registered_class& player_host_api::class_for(const guid& id) {
  for (std::uint32_t i = 0; i < class_count_; ++i)
    if (classes_[i].id == id) return classes_[i];
  if (class_count_ == sizeof classes_ / sizeof *classes_) fatal("too many service classes");
  classes_[class_count_].id = id;
  return classes_[class_count_++];
}

player_host_api::registered_class& player_host_api::class_at(std::uint32_t handle) {
  if (handle == 0 || handle > class_count_) fatal("unknown service class handle");
  return classes_[handle - 1];
}

std::uint32_t player_host_api::find_service_class(const guid* class_id) {
  faults.enter(find_service_class_slot);
  return static_cast<std::uint32_t>(&class_for(*class_id) - classes_) + 1;
}

bool player_host_api::create_service_instance(service_ref* out, std::uint32_t service_class, std::uint32_t index) {
  faults.enter(create_service_instance_slot);
  const registered_class& found = class_at(service_class);
  if (index >= found.count) return false;
  found.instances[index]->add_reference();
  if (out->object) out->object->release();
  out->object = found.instances[index];
  return true;
}

std::uint32_t player_host_api::count_service_instances(std::uint32_t service_class) {
  faults.enter(count_service_instances_slot);
  return class_at(service_class).count;
}

// --- console and registry ---

void player_console::write_text(const char* text, std::uint32_t length) {
  faults.enter(write_text_slot);
  if (line_count_ == sizeof lines_ / sizeof *lines_) fatal("too many console lines");
  char* line = lines_[line_count_++];
  const std::size_t kept = bounded_length(text, length < sizeof *lines_ - 1 ? length : sizeof *lines_ - 1);
  memcpy(line, text, kept);
  line[kept] = '\0';
}

void player_registry::register_callback(play_callback* handler, std::uint32_t, bool) {
  faults.enter(register_callback_slot);
  ++registrations_;
  last_handler_ = handler;
}

// --- track information ---

const track_field& player_track_info::field_at(std::uint32_t field) const {
  if (field >= count_) fatal("track_info field index out of range");
  return fields_[field];
}

double player_track_info::length_seconds() const {
  faults.enter(length_seconds_slot);
  return length_;
}

std::uint32_t player_track_info::field_count() const {
  faults.enter(field_count_slot);
  return count_;
}

const char* player_track_info::field_name(std::uint32_t field) const {
  faults.enter(field_name_slot);
  return field_at(field).name;
}

std::uint32_t player_track_info::field_value_count(std::uint32_t field) const {
  faults.enter(field_value_count_slot);
  field_at(field);
  return 1;
}

const char* player_track_info::field_value(std::uint32_t field, std::uint32_t value) const {
  faults.enter(field_value_slot);
  if (value != 0) fatal("track_info value index out of range");
  return field_at(field).value;
}

std::uint32_t player_track_info::find_field(const char* name, std::uint32_t length) const {
  faults.enter(find_field_slot);
  const std::size_t wanted = bounded_length(name, length);
  for (std::uint32_t field = 0; field < count_; ++field) {
    if (strlen(fields_[field].name) == wanted && memcmp(fields_[field].name, name, wanted) == 0) return field;
  }
  return no_field;
}

// --- string ---

void player_string::append_text(const char* text, std::size_t limit) {
  faults.enter(append_text_slot);
  std::size_t count = bounded_length(text, limit);
  if (count > sizeof text_ - 1 - length_) count = sizeof text_ - 1 - length_;
  memcpy(text_ + length_, text, count);  // the component never appends a string to itself
  length_ += count;
  text_[length_] = '\0';
}

const char* player_string::text_pointer() const {
  faults.enter(text_pointer_slot);
  return text_;
}

void player_string::set_text(const char* text, std::size_t limit) {
  faults.enter(set_text_slot);
  std::size_t count = bounded_length(text, limit);
  if (count > sizeof text_ - 1) count = sizeof text_ - 1;
  memcpy(text_, text, count);
  length_ = count;
  text_[length_] = '\0';
}

void player_string::shorten(std::size_t new_length) {
  faults.enter(shorten_slot);
  if (new_length < length_) text_[length_ = new_length] = '\0';
}

std::size_t player_string::text_length() const {
  faults.enter(text_length_slot);
  return length_;
}

char* player_string::open_buffer(std::size_t length) {
  faults.enter(open_buffer_slot);
  if (length > sizeof text_ - 1) throw pfc::exception_overflow();
  memset(text_, 0, sizeof text_);
  return text_;
}

void player_string::close_buffer() {
  faults.enter(close_buffer_slot);
  length_ = strlen(text_);
}

// --- streams ---

std::uint32_t player_reader::take(void* destination, std::uint64_t count) {
  const std::uint32_t left = size_ - position_;
  const std::uint32_t taken = count < left ? static_cast<std::uint32_t>(count) : left;
  if (destination) memcpy(destination, bytes_ + position_, taken);
  position_ += taken;
  return taken;
}

std::uint32_t player_reader::read_bytes(void* destination, std::uint32_t count, abort_signal&) {
  faults.enter(read_bytes_slot);
  return take(destination, count);
}

void player_reader::read_exact(void* destination, std::uint32_t count, abort_signal&) {
  faults.enter(read_exact_slot);
  if (take(destination, count) != count) throw foobar2000_io::exception_io_data_truncation();
}

std::uint64_t player_reader::skip_bytes(std::uint64_t count, abort_signal&) {
  faults.enter(skip_bytes_slot);
  return take(nullptr, count);
}

void player_reader::skip_exact(std::uint64_t count, abort_signal&) {
  faults.enter(skip_exact_slot);
  if (take(nullptr, count) != count) throw foobar2000_io::exception_io_data_truncation();
}

void player_writer::write_bytes(const void* source, std::uint32_t count, abort_signal&) {
  faults.enter(write_bytes_slot);
  if (count > sizeof bytes_ - size_) fatal("more written than a scenario expects");
  memcpy(bytes_ + size_, source, count);
  size_ += count;
}
