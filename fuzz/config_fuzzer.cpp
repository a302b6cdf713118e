// Loads arbitrary configuration streams into a set of variables drawn from the
// input, each of which reads, skips and fails in its own arbitrary way. Checked
// against an independent parse of the stream: every load reaches the variable
// that owns the record, at the record's first byte, sees only the record's own
// bytes, and the load ends normally exactly when the stream was well formed and
// nothing but data errors happened; whatever leaves is an error that was due.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include "host/config.h"
#include "support/errors.h"
#include "tests/host_objects/host_objects.h"

namespace {

void require(bool condition, const char* what) {
  if (condition) return;
  std::fprintf(stderr, "config_fuzzer: %s\n", what);
  std::abort();
}

// Few GUIDs, so that variables share them and raw streams can hit them.
constexpr guid palette[] = {
    {0x00000000, 0x0000, 0x0000, {0, 0, 0, 0, 0, 0, 0, 0}},
    {0x00000000, 0x0000, 0x0000, {0, 0, 0, 0, 0, 0, 0, 1}},
    {0x80000000, 0x7FFF, 0x0080, {0xFF, 0, 0x80, 0x7F, 1, 2, 3, 4}},
    {0xFFFFFFFF, 0xFFFF, 0xFFFF, {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}},
};
constexpr std::size_t palette_size = sizeof palette / sizeof palette[0];

enum class step_kind : std::uint8_t {
  read,
  read_exact,
  skip,
  skip_exact,
  data_error,  // swallowed for the record
  io_error,    // an I/O error but no data error: leaves
  abort,
  no_memory,
  count
};

struct step {
  step_kind kind;
  std::uint64_t amount;
};

// An error of the player's stream that is no data error: it always leaves.
struct injected_error {};

class fuzz_variable;

struct load_call {
  const fuzz_variable* variable;
  std::uint32_t length;
  std::size_t position;  // of the player's stream when the load began
};

// What one run shares with its variables.
struct run {
  const std::vector<std::uint8_t>* stream_bytes;
  const test_readable_stream* stream;
  abort_signal* abort;
  std::vector<load_call> loads;
  bool io_error = false;       // a variable threw exception_io itself
  bool aborted = false;        // a variable threw exception_aborted
  bool out_of_memory = false;  // a variable threw std::bad_alloc
};
run* current = nullptr;

class fuzz_variable final : public loadable_variable {
 public:
  fuzz_variable(const ::guid& id, std::vector<step> steps) : loadable_variable(id), steps_(std::move(steps)) {}

  void load_data(readable_stream& stream, std::uint32_t length, abort_signal& abort) override {
    require(&abort == current->abort, "another abort signal");
    const std::size_t start = current->stream->position();
    current->loads.push_back({this, length, start});
    const std::vector<std::uint8_t>& all = *current->stream_bytes;
    std::uint64_t consumed = 0;
    // What a call for `amount` bytes may yield: no more than the rest of the
    // record, and of that as much as the stream still holds.
    const auto yield_limit = [&](std::uint64_t amount) {
      const std::uint64_t in_record = std::min<std::uint64_t>(amount, length - consumed);
      const std::uint64_t in_stream = all.size() - std::min<std::uint64_t>(all.size(), start + consumed);
      return std::min(in_record, in_stream);
    };
    const auto check_bytes = [&](const std::vector<std::uint8_t>& got, std::uint64_t count) {
      require(count == 0 || std::memcmp(got.data(), all.data() + start + consumed, count) == 0,
              "bytes of another place");
    };

    for (const step& s : steps_) {
      const std::uint64_t available = yield_limit(s.amount);
      switch (s.kind) {
        case step_kind::read:
        case step_kind::read_exact: {
          const auto count = static_cast<std::uint32_t>(s.amount);
          // Room for exactly what may arrive: a reader that passed the request on
          // unclamped would have the player's stream write past it.
          std::vector<std::uint8_t> buffer(static_cast<std::size_t>(available));
          if (s.kind == step_kind::read) {
            const std::uint32_t got = stream.read_bytes(buffer.data(), count, abort);
            require(got == available, "read_bytes yielded other than the record's rest");
            check_bytes(buffer, got);
            consumed += got;
          } else {
            try {
              stream.read_exact(buffer.data(), count, abort);
            } catch (const foobar2000_io::exception_io_data_truncation&) {
              require(available < count, "read_exact failed with the bytes there");
              throw;
            }
            require(available == count, "read_exact succeeded past the record");
            check_bytes(buffer, count);
            consumed += count;
          }
          break;
        }
        case step_kind::skip: {
          const std::uint64_t got = stream.skip_bytes(s.amount, abort);
          require(got == available, "skip_bytes passed other than the record's rest");
          consumed += got;
          break;
        }
        case step_kind::skip_exact:
          try {
            stream.skip_exact(s.amount, abort);
          } catch (const foobar2000_io::exception_io_data_truncation&) {
            require(available < s.amount, "skip_exact failed with the bytes there");
            throw;
          }
          require(available == s.amount, "skip_exact succeeded past the record");
          consumed += s.amount;
          break;
        case step_kind::data_error:
          throw foobar2000_io::exception_io_data();
        case step_kind::io_error:
          current->io_error = true;
          throw foobar2000_io::exception_io();
        case step_kind::abort:
          current->aborted = true;
          throw foobar2000_io::exception_aborted();
        case step_kind::no_memory:
          current->out_of_memory = true;
          pfc::raise_bad_alloc();
        case step_kind::count:
          break;
      }
    }
  }

 private:
  std::vector<step> steps_;
};

std::vector<step> draw_steps(FuzzedDataProvider& input) {
  std::vector<step> steps(input.ConsumeIntegralInRange<std::size_t>(0, 5));
  for (step& s : steps) {
    s.kind = static_cast<step_kind>(input.ConsumeIntegralInRange<int>(0, static_cast<int>(step_kind::count) - 1));
    const bool stream_step = s.kind <= step_kind::skip_exact;
    const bool reading = s.kind <= step_kind::read_exact;
    if (stream_step) {
      // Mostly small amounts; sometimes anything up to the widest the call takes.
      s.amount = input.ConsumeBool() ? input.ConsumeIntegral<std::uint8_t>()
                 : reading           ? input.ConsumeIntegral<std::uint32_t>()
                                     : input.ConsumeIntegral<std::uint64_t>();
    }
  }
  return steps;
}

// Either the rest of the input as it is, or records built from it: palette or
// arbitrary GUIDs, a declared length, and as much data as the input still has.
std::vector<std::uint8_t> draw_stream(FuzzedDataProvider& input) {
  if (input.ConsumeBool()) return input.ConsumeRemainingBytes<std::uint8_t>();
  std::vector<std::uint8_t> out;
  while (input.remaining_bytes() > 0) {
    const std::size_t choice = input.ConsumeIntegralInRange<std::size_t>(0, palette_size);
    std::uint8_t id[16];
    if (choice < palette_size) {
      std::memcpy(id, &palette[choice], 16);
    } else {
      const auto drawn = input.ConsumeBytes<std::uint8_t>(16);
      std::fill(std::copy(drawn.begin(), drawn.end(), id), id + 16, 0);
    }
    out.insert(out.end(), id, id + 16);
    const std::uint32_t length =
        input.ConsumeBool() ? input.ConsumeIntegral<std::uint8_t>() : input.ConsumeIntegral<std::uint32_t>();
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<std::uint8_t>(length >> (8 * i)));
    const auto data = input.ConsumeBytes<std::uint8_t>(std::min<std::size_t>(length, 4096));
    out.insert(out.end(), data.begin(), data.end());
  }
  return out;
}

// The loads a correct reading makes, and whether the stream breaks off inside
// a record's length or data.
struct expectation {
  std::vector<load_call> loads;
  bool broken_off = false;
};

expectation parse(const std::vector<std::uint8_t>& bytes) {
  expectation out;
  std::size_t position = 0;
  while (bytes.size() - position >= 16) {
    guid id;
    std::memcpy(&id, bytes.data() + position, 16);
    if (bytes.size() - position < 20) {
      out.broken_off = true;
      break;
    }
    std::uint32_t length = 0;
    for (int i = 0; i < 4; ++i) length |= std::uint32_t{bytes[position + 16 + i]} << (8 * i);
    const std::size_t data = position + 20;
    // Of several variables with this GUID, the last one in list order.
    const loadable_variable* owner = nullptr;
    for (const loadable_variable* entry = loadable_list; entry; entry = entry->next_entry)
      if (entry->guid == id) owner = entry;
    if (owner) out.loads.push_back({static_cast<const fuzz_variable*>(owner), length, data});
    if (bytes.size() - data < length) {
      out.broken_off = true;
      break;
    }
    position = data + length;
  }
  return out;
}

bool same_load(const load_call& a, const load_call& b) {
  return a.variable == b.variable && a.length == b.length && a.position == b.position;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  require(loadable_list == nullptr, "variables left linked");
  FuzzedDataProvider input(data, size);

  std::vector<std::unique_ptr<fuzz_variable>> variables(input.ConsumeIntegralInRange<std::size_t>(0, 6));
  for (auto& variable : variables) {
    const guid& id = palette[input.ConsumeIntegralInRange<std::size_t>(0, palette_size - 1)];
    variable = std::make_unique<fuzz_variable>(id, draw_steps(input));
  }
  // Sometimes the player's stream fails one call: with an error of its own, or a data error.
  const bool inject = input.ConsumeIntegralInRange(0, 3) == 0;
  const bool inject_data_error = input.ConsumeBool();
  const std::size_t failing_call = input.ConsumeIntegralInRange<std::size_t>(0, 40);
  const std::vector<std::uint8_t> bytes = draw_stream(input);

  test_readable_stream stream(bytes);
  if (inject) {
    stream.fail_call(failing_call, inject_data_error ? std::make_exception_ptr(foobar2000_io::exception_io_data())
                                                     : std::make_exception_ptr(injected_error{}));
  }
  test_abort_signal abort;
  run this_run{&bytes, &stream, &abort, {}};
  current = &this_run;
  const expectation expected = parse(bytes);

  enum class ending { normal, truncation, data_error, io_error, aborted, no_memory, injected } outcome = ending::normal;
  try {
    load_configuration(stream, abort);
  } catch (const foobar2000_io::exception_io_data_truncation&) {
    outcome = ending::truncation;
  } catch (const foobar2000_io::exception_io_data&) {
    outcome = ending::data_error;
  } catch (const foobar2000_io::exception_io&) {
    outcome = ending::io_error;
  } catch (const foobar2000_io::exception_aborted&) {
    outcome = ending::aborted;
  } catch (const std::bad_alloc&) {
    outcome = ending::no_memory;
  } catch (const injected_error&) {
    outcome = ending::injected;
  }
  current = nullptr;

  const bool injection_raised = inject && stream.calls().size() > failing_call;
  const auto& loads = this_run.loads;
  require(loads.size() <= expected.loads.size(), "more loads than records for the variables");
  for (std::size_t i = 0; i < loads.size(); ++i) require(same_load(loads[i], expected.loads[i]), "a load out of place");
  require(abort.calls() == 0, "the load polled the abort signal");

  switch (outcome) {
    case ending::normal:
      require(!expected.broken_off, "a broken-off stream loaded without error");
      require(loads.size() == expected.loads.size(), "records left unloaded");
      require(!this_run.io_error && !this_run.aborted && !this_run.out_of_memory, "a leaving error was swallowed");
      require(!injection_raised || inject_data_error, "the player's error was swallowed");
      require(stream.position() == bytes.size(), "the stream was not read to its end");
      break;
    case ending::truncation:
      require(expected.broken_off, "truncation of a whole stream");
      require(loads.size() == expected.loads.size(), "truncation before the break");
      break;
    case ending::data_error:
      require(injection_raised && inject_data_error, "a data error that nobody raised left");
      break;
    case ending::io_error:
      require(this_run.io_error, "an I/O error that no variable raised");
      break;
    case ending::aborted:
      require(this_run.aborted, "an abort that no variable raised");
      break;
    case ending::no_memory:
      require(this_run.out_of_memory, "a bad_alloc that no variable raised");
      break;
    case ending::injected:
      require(injection_raised && !inject_data_error, "the player's error out of nowhere");
      break;
  }
  return 0;
}
