// Loads arbitrary streams into a few variables that read, skip and fail in
// arbitrary ways. Besides crashes and leaks it checks that a variable gets just
// what its record still holds, that an abort always leaves and only it or a
// truncation does, and that otherwise the whole stream is consumed.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <iterator>
#include <list>
#include <vector>

#include "harness/config_record.h"
#include "harness/player_fakes.h"
#include "host/config.h"
#include "support/errors.h"

namespace {

void require(bool condition, const char* what) {
  if (condition) return;
  std::fprintf(stderr, "config_fuzzer: %s\n", what);
  std::abort();
}

// Few GUIDs, so that variables share them and streams hit them.
constexpr guid palette[] = {{0, 0, 0, {0, 0, 0, 0, 0, 0, 0, 0}},
                            {0x80000000, 0x7FFF, 0x0080, {0xFF, 0, 0x80, 0x7F, 1, 2, 3, 4}},
                            {0xFFFFFFFF, 0xFFFF, 0xFFFF, {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}}};

FuzzedDataProvider* input = nullptr;  // what is left of it decides the variables' steps
const player_readable_stream* player_stream = nullptr;
std::size_t stream_size = 0;
bool aborted = false;

enum step_kind { read_some, read_all, skip_some, skip_all, data_error, abort_load };

class fuzz_variable final : public loadable_variable {
 public:
  explicit fuzz_variable(const ::guid& id) : loadable_variable(id) {}

  void load_data(readable_stream& stream, std::uint32_t length, abort_signal& abort) override {
    const std::size_t start = player_stream->position();
    std::uint64_t consumed = 0;
    for (int steps = input->ConsumeIntegralInRange(0, 4); steps > 0; --steps) {
      const auto kind = static_cast<step_kind>(input->ConsumeIntegralInRange<int>(read_some, abort_load));
      const std::uint64_t amount = input->ConsumeBool()                    ? input->ConsumeIntegral<std::uint8_t>()
                                   : kind == read_some || kind == read_all ? input->ConsumeIntegral<std::uint32_t>()
                                                                           : input->ConsumeIntegral<std::uint64_t>();
      // What the call must yield (an exact one may only succeed with all of
      // it); a buffer of just that size lets the sanitizer see an unclamped read.
      const std::uint64_t due = std::min({amount, length - consumed, stream_size - start - consumed});
      std::vector<std::uint8_t> buffer(kind == read_some || kind == read_all ? due : 0);
      std::uint64_t got = amount;
      switch (kind) {
        case read_some:
          got = stream.read_bytes(buffer.data(), static_cast<std::uint32_t>(amount), abort);
          break;
        case read_all:
          stream.read_exact(buffer.data(), static_cast<std::uint32_t>(amount), abort);
          break;
        case skip_some:
          got = stream.skip_bytes(amount, abort);
          break;
        case skip_all:
          stream.skip_exact(amount, abort);
          break;
        case data_error:
          throw foobar2000_io::exception_io_data();
        case abort_load:
          aborted = true;
          throw foobar2000_io::exception_aborted();
      }
      require(got == due, "a read or skip of other than the record's rest");
      consumed += due;
      require(player_stream->position() == start + consumed, "the player's stream moved otherwise");
    }
  }
};

const guid& draw_guid() { return palette[input->ConsumeIntegralInRange<std::size_t>(0, std::size(palette) - 1)]; }

// Raw bytes, or records whose declared length need not match the data that follows.
std::vector<std::uint8_t> draw_stream() {
  if (input->ConsumeBool()) return input->ConsumeBytes<std::uint8_t>(input->ConsumeIntegral<std::uint16_t>());
  std::vector<std::uint8_t> out;
  for (int records = input->ConsumeIntegralInRange(0, 8); records > 0; --records) {
    const guid& id = draw_guid();
    const std::uint32_t length =
        input->ConsumeBool() ? input->ConsumeIntegral<std::uint8_t>() : input->ConsumeIntegral<std::uint32_t>();
    const std::string head = config_record::head(id, length);
    out.insert(out.end(), head.begin(), head.end());
    const auto data = input->ConsumeBytes<std::uint8_t>(std::min<std::uint32_t>(length, 4096));
    out.insert(out.end(), data.begin(), data.end());
  }
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider provider(data, size);
  input = &provider;
  std::list<fuzz_variable> variables;
  for (int count = provider.ConsumeIntegralInRange(0, 4); count > 0; --count) variables.emplace_back(draw_guid());
  const std::vector<std::uint8_t> bytes = draw_stream();
  player_readable_stream stream(bytes);
  player_abort_signal abort;
  player_stream = &stream;
  stream_size = bytes.size();
  aborted = false;
  bool left_by_abort = false;
  try {
    load_configuration(stream, abort);
  } catch (const foobar2000_io::exception_aborted&) {
    left_by_abort = true;
  } catch (const foobar2000_io::exception_io_data_truncation&) {
  }
  require(left_by_abort == aborted, "an abort swallowed, or one that no variable raised");
  require(aborted || stream.position() == bytes.size(), "the stream was not read to its end");
  require(abort.calls() == 0, "the load polled the abort signal");
  return 0;
}
