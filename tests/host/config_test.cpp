// Saving and loading configuration records as the player sees them: the
// bytes, every stream call, and which errors leave.
#include "host/config.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <new>
#include <string>
#include <typeinfo>
#include <utility>
#include <vector>

#include "harness/config_record.h"
#include "harness/failing_heap.h"
#include "harness/player_fakes.h"
#include "support/errors.h"

// Index nodes are the only objects the configuration code takes from the
// nothrow operator new, replaced below to refuse them or log their addresses.
static std::size_t nodes_allowed = SIZE_MAX;
static std::vector<void*>* node_sink = nullptr;  // reserved ahead

// The plain operator new stays the runtime's, so the ordinary delete frees these.
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  if (nodes_allowed == 0) return nullptr;
  --nodes_allowed;
  void* block = ::operator new(size);  // the tests never run short of memory
  if (node_sink) node_sink->push_back(block);
  return block;
}

namespace {

using namespace std::string_literals;

constexpr guid example_id = {0x00112233, 0x4455, 0x6677, {0x88, 0x99, 0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0xFF}};
constexpr guid id(std::uint8_t n) { return {0xA1B2C3D4, 0x0001, 0x0002, {1, 2, 3, 4, 5, 6, 7, n}}; }
// The variable example_id with the data "abc", byte for byte.
const std::string example_record =
    "\x33\x22\x11\x00\x55\x44\x77\x66\x88\x99\xAA\xBB\xCC\xDD\xEE\xFF\x03\x00\x00\x00"
    "abc"s;

// example_record pins the byte order the shared encoder writes.
std::string record(const guid& id, const std::string& data) { return config_record::encode(id, data); }

std::vector<std::uint8_t> stream_bytes(const std::string& s) { return {s.begin(), s.end()}; }

// The calls a stream received, as "r16 x4 S3": read_bytes, read_exact, skip_bytes,
// skip_exact or write_bytes and the count. Each must carry the player's abort signal.
std::string calls_of(const stream_recorder& stream, const abort_signal& abort) {
  std::string out;
  for (const stream_call& c : stream.calls()) {
    EXPECT_EQ(c.abort, &abort);
    out += (out.empty() ? ""s : " "s) + "rxsSw"[static_cast<int>(c.operation)] + std::to_string(c.count);
  }
  return out;
}

// An error of the player's own, which the component knows nothing about.
struct host_error : std::exception {};

struct test_saveable final : saveable_variable {
  test_saveable(const ::guid& id, std::vector<std::string> parts) : saveable_variable(id), pieces(std::move(parts)) {}
  void save_data(writable_stream& stream, abort_signal& abort) override {
    for (const auto& piece : pieces) stream.write_bytes(piece.data(), static_cast<std::uint32_t>(piece.size()), abort);
  }
  std::vector<std::string> pieces;
};

// Logs each load: the length given, the bytes received, and whether a
// truncation error came out of the reader.
struct test_loadable final : loadable_variable {
  struct load {
    std::uint32_t length;
    std::string received;
    bool truncated = false;
    friend bool operator==(const load&, const load&) = default;
  };
  using behaviour = std::function<void(readable_stream&, std::uint32_t, abort_signal&, std::string&)>;

  test_loadable(const ::guid& id, behaviour how) : loadable_variable(id), body(std::move(how)) {}
  void load_data(readable_stream& stream, std::uint32_t length, abort_signal& abort) override {
    loads.push_back({length, {}});
    try {
      body(stream, length, abort, loads.back().received);
    } catch (const foobar2000_io::exception_io_data_truncation&) {
      loads.back().truncated = true;
      throw;
    }
  }

  std::vector<load> loads;
  behaviour body;
};
using loads = std::vector<test_loadable::load>;

// One read_exact of `count` bytes, or of the record's length.
constexpr std::uint32_t whole_record = UINT32_MAX;
test_loadable::behaviour reads_exactly(std::uint32_t count = whole_record) {
  return [count](readable_stream& stream, std::uint32_t length, abort_signal& abort, std::string& received) {
    received.resize(count == whole_record ? length : count);
    stream.read_exact(received.data(), static_cast<std::uint32_t>(received.size()), abort);
  };
}

class ConfigTest : public testing::Test {
 protected:
  void TearDown() override {
    failing_heap::fail_request(0);
    nodes_allowed = SIZE_MAX;
    EXPECT_EQ(failing_heap::live_blocks(), heap_blocks_before_);
  }
  // Loads `input` without error and returns the calls made on it.
  std::string load(const std::string& input) {
    player_readable_stream in(stream_bytes(input));
    load_configuration(in, abort_);
    return calls_of(in, abort_);
  }

  player_abort_signal abort_;
  const std::size_t heap_blocks_before_ = failing_heap::live_blocks();
};

TEST_F(ConfigTest, SavedRecordsFollowListOrderWithTheirDataInOneWrite) {
  player_writable_stream out;
  const std::size_t heap_calls = failing_heap::calls();
  save_configuration(out, abort_);
  EXPECT_TRUE(out.calls().empty());  // no entries: no call and no allocation
  EXPECT_EQ(failing_heap::calls(), heap_calls);

  test_saveable largest(id(2), {std::string(9, 'z')});
  test_saveable smaller(id(3), {"xy"});
  test_saveable silent(id(1), {});
  test_saveable pieces(example_id, {"a", "", "bc"});  // linked last: first in the list
  save_configuration(out, abort_);
  EXPECT_EQ(std::string(out.bytes().begin(), out.bytes().end()),
            example_record + record(id(1), "") + record(id(3), "xy") + record(id(2), std::string(9, 'z')));
  EXPECT_EQ(calls_of(out, abort_), "w16 w4 w3 w16 w4 w16 w4 w2 w16 w4 w9");
  EXPECT_EQ(abort_.calls(), 5u);  // one poll per piece written into the buffer
  // One buffer for all: 1 byte at the first clear, 4 for "abc", 16 for 9 bytes, then the free.
  EXPECT_EQ(failing_heap::calls() - heap_calls, 4u);
}

TEST_F(ConfigTest, BufferDoublesFromOneAndRefusedGrowthChangesNothing) {
  byte_buffer buffer;
  for (auto [size, capacity] :
       std::vector<std::pair<std::uint32_t, std::uint32_t>>{{0, 1}, {3, 4}, {1, 4}, {1000, 1024}}) {
    buffer.set_size(size);
    EXPECT_EQ(buffer.capacity(), capacity) << size;
  }
  std::uint8_t* const data = buffer.data();
  EXPECT_THROW(buffer.set_size(0x80000001u), std::bad_alloc);  // the doubling would pass 32 bits
  failing_heap::fail_request(1);
  EXPECT_THROW(buffer.set_size(1025), std::bad_alloc);
  buffer_writer writer(buffer);  // the end would pass 32 bits: refused before the source is read
  EXPECT_THROW(writer.write_bytes(nullptr, UINT32_MAX - 500, abort_), std::bad_alloc);
  EXPECT_EQ(buffer.data(), data);
  EXPECT_EQ(buffer.size(), 1000u);
  EXPECT_EQ(buffer.capacity(), 1024u);
}

TEST_F(ConfigTest, SaveErrorsLeaveWithEarlierRecordsWritten) {
  struct aborting_at_third_poll final : abort_signal {
    int polls = 0;
    bool cancel_requested() override { return ++polls == 3; }
  } abort;
  test_saveable aborted(id(1), {"ok", "no"});
  test_saveable earlier(example_id, {"abc"});
  player_writable_stream out;
  EXPECT_THROW(save_configuration(out, abort), foobar2000_io::exception_aborted);
  EXPECT_EQ(std::string(out.bytes().begin(), out.bytes().end()), example_record);

  player_writable_stream refusing;
  refusing.fail_call(1, std::make_exception_ptr(host_error{}));
  EXPECT_THROW(save_configuration(refusing, abort_), host_error);
  EXPECT_EQ(calls_of(refusing, abort_), "w16 w4");
}

TEST_F(ConfigTest, RecordsReachTheirVariableOnceEachInStreamOrderAndTheRestIsSkipped) {
  for (std::size_t size = 0; size < 16; ++size) EXPECT_EQ(load(example_record.substr(0, size)), "r16") << size;
  const std::string unclaimed = record(id(1), "") + record(id(2), "1234567") + record(id(1), "abc");
  EXPECT_EQ(load(unclaimed + "short tail"), "r16 x4 S0 r16 x4 S7 r16 x4 S3 r16");

  test_loadable variable(example_id, reads_exactly());
  test_loadable shadowed(example_id, reads_exactly());  // linked last: earlier in the list, so passed over
  EXPECT_EQ(load(example_record + record(id(1), "12") + record(example_id, "") + record(example_id, "q")),
            "r16 x4 r3 r16 x4 S2 r16 x4 r0 r16 x4 r1 r16");  // an empty record still gets its read
  EXPECT_EQ(variable.loads, (loads{{3, "abc"}, {0, ""}, {1, "q"}}));
  EXPECT_TRUE(shadowed.loads.empty());
}

TEST_F(ConfigTest, UnreadRestOverreadingAndDataErrorsStayInTheirRecord) {
  test_loadable short_reader(id(1), reads_exactly(2));
  test_loadable over_reader(id(2), reads_exactly(10));
  test_loadable over_skipper(id(3), [](readable_stream& stream, std::uint32_t, abort_signal& abort, std::string&) {
    stream.skip_exact(100, abort);
  });
  test_loadable failing(id(4), [](readable_stream& stream, std::uint32_t, abort_signal& abort, std::string&) {
    char byte;
    stream.read_exact(&byte, 1, abort);
    throw foobar2000_io::exception_io_data();
  });
  test_loadable host_failure(id(5), reads_exactly());  // the player's read raises a data error
  test_loadable next(id(6), reads_exactly());
  player_readable_stream in(stream_bytes(record(id(1), "abcde") + record(id(2), "wxyz") + record(id(3), "skipped") +
                                         record(id(4), "abc") + record(id(5), "def") + record(id(6), "next")));
  in.fail_call(16, std::make_exception_ptr(foobar2000_io::exception_io_data()));
  load_configuration(in, abort_);
  EXPECT_EQ(calls_of(in, abort_), "r16 x4 r2 s3 r16 x4 r4 r16 x4 s7 r16 x4 r1 s2 r16 x4 r3 s3 r16 x4 r4 r16");
  EXPECT_EQ(short_reader.loads, (loads{{5, "ab"}}));
  EXPECT_EQ(over_reader.loads, (loads{{4, "wxyz" + std::string(6, '\0'), true}}));
  EXPECT_EQ(over_skipper.loads, (loads{{7, "", true}}));
  EXPECT_EQ(next.loads, (loads{{4, "next"}}));
}

// Every other error leaves the load unchanged, the variables loaded before it
// keep their data, and the index is gone: the test holds a count on each node
// while the error passes, and its release must be the last.
template <class Error>
void check_error_leaves_load(Error error, player_abort_signal& abort) {
  SCOPED_TRACE(typeid(Error).name());
  std::vector<void*> nodes;
  nodes.reserve(8);
  node_sink = &nodes;
  test_loadable before(id(1), reads_exactly());
  test_loadable failing(example_id, [&](readable_stream&, std::uint32_t, abort_signal&, std::string&) {
    for (void* node : nodes) static_cast<index_node*>(node)->add_reference();
    throw error;
  });
  test_loadable after(id(2), reads_exactly());
  player_readable_stream in(stream_bytes(record(id(1), "1") + example_record + record(id(2), "3")));
  EXPECT_THROW(load_configuration(in, abort), Error);
  node_sink = nullptr;
  EXPECT_EQ(before.loads, (loads{{1, "1"}}));
  ASSERT_EQ(nodes.size(), 3u);
  for (void* block : nodes) {
    auto* node = static_cast<index_node*>(block);
    EXPECT_FALSE(node->smaller || node->larger || node->parent);
    EXPECT_EQ(node->release(), 0);
  }
}

TEST_F(ConfigTest, EveryOtherErrorLeavesTheLoadAndTheIndexIsReleased) {
  check_error_leaves_load(foobar2000_io::exception_aborted(), abort_);
  check_error_leaves_load(pfc::bad_allocation(), abort_);
  check_error_leaves_load(foobar2000_io::exception_io(), abort_);  // an I/O error, but not a data error
  check_error_leaves_load(host_error(), abort_);

  test_loadable a(example_id, reads_exactly()), b(id(1), reads_exactly()), c(id(2), reads_exactly());
  nodes_allowed = 2;  // no memory for the index: the load leaves before any read
  player_readable_stream in(stream_bytes(example_record));
  EXPECT_THROW(load_configuration(in, abort_), std::bad_alloc);
  EXPECT_TRUE(in.calls().empty());
}

TEST_F(ConfigTest, StreamEndingInsideARecord) {
  test_loadable variable(example_id, reads_exactly());
  const std::string claimed = record(example_id, "abcdef"), unclaimed = record(id(1), "uvwxyz");
  EXPECT_EQ(load(claimed + claimed.substr(0, 9)), "r16 x4 r6 r16");  // a partial GUID is the end

  // The player's errors from the length's read and the unclaimed data's skip leave.
  for (std::size_t failing_call : {1, 2}) {
    player_readable_stream in(stream_bytes(unclaimed.substr(0, 16 + failing_call * 3)));
    in.fail_call(failing_call, std::make_exception_ptr(host_error{}));
    EXPECT_THROW(load_configuration(in, abort_), host_error);
  }
  // The variable meets the end as the end of its record (its truncation is
  // swallowed); the missing rest then cannot be skipped.
  player_readable_stream in(stream_bytes(claimed.substr(0, 23)));
  EXPECT_THROW(load_configuration(in, abort_), foobar2000_io::exception_io_data_truncation);
  EXPECT_EQ(variable.loads.back(), (test_loadable::load{6, "abc\0\0\0"s, true}));
  EXPECT_EQ(calls_of(in, abort_), "r16 x4 r6 s3");
}

}  // namespace
