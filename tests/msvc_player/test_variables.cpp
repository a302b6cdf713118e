// The test-only part of foo_vek_ipc_test.dll: one configuration variable of
// each kind, steered and read by the test player through the exports of
// test_exports.h, so that every component error type can leave the module.
#include <bit>
#include <cstdint>
#include <cstring>
#include <utility>

#include "host/config.h"
#include "support/error_tree_index.h"
#include "support/errors.h"
#include "test_exports.h"

namespace {

constexpr guid key = std::bit_cast<guid>(test_variable_key);

int requested_error = no_component_error;

// A type added to the module's error tree needs its kind here and its row in
// the player's table, or it leaves the module untested.
static_assert(error_tree::count == component_error_kinds - 1,
              "an error type of the module has no kind in test_exports.h");

// Raises `kind` by value, as the component's own code does; no_component_error returns.
void raise_component_error(int kind) {
  switch (kind) {
    case std_exception_error:
      throw std::exception();
    case bad_alloc_error:
      pfc::raise_bad_alloc();
    case overflow_error:
      throw pfc::exception_overflow();
    case service_not_found_error:
      throw exception_service_not_found();
    case service_duplicated_error:
      throw exception_service_duplicated();
    case io_error:
      throw foobar2000_io::exception_io();
    case io_data_error:
      throw foobar2000_io::exception_io_data();
    case io_data_truncation_error:
      throw foobar2000_io::exception_io_data_truncation();
    case aborted_error:
      throw foobar2000_io::exception_aborted();
  }
}

// Saves "saved" in one write, unless the player asked for an error.
class test_saveable final : public saveable_variable {
 public:
  test_saveable() noexcept : saveable_variable(key) {}
  void save_data(writable_stream& stream, abort_signal& abort) override {
    raise_component_error(std::exchange(requested_error, no_component_error));
    stream.write_bytes("saved", 5, abort);
  }
} saveable;

// Reads each record whole with one read_exact and logs it.
class test_loadable final : public loadable_variable {
 public:
  test_loadable() noexcept : loadable_variable(key) {}
  void load_data(readable_stream& stream, std::uint32_t length, abort_signal& abort) override {
    char record[64];
    if (length > sizeof record) throw foobar2000_io::exception_io_data();
    stream.read_exact(record, length, abort);
    if (length + 1 >= sizeof log - log_length) return;  // the scenarios stay far below
    std::memcpy(log + log_length, record, length);
    log_length += length;
    log[log_length++] = ';';
  }

  char log[256] = {};
  std::uint32_t log_length = 0;
} loadable;

}  // namespace

extern "C" void vek_test_raise_on_next_save(int kind) { requested_error = kind; }

extern "C" unsigned vek_test_take_loaded(char* destination, unsigned capacity) {
  if (capacity == 0) return 0;
  const unsigned copied = loadable.log_length < capacity ? loadable.log_length : capacity - 1;
  std::memcpy(destination, loadable.log, copied);
  destination[copied] = '\0';
  loadable.log_length = 0;
  return copied;
}
