// Saving and loading configuration records as the player sees them: the
// bytes, every stream call, and which errors leave.
#include "host/config.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <string>
#include <typeinfo>
#include <utility>
#include <vector>

#include "support/errors.h"
#include "tests/host/node_allocations.h"
#include "tests/host_objects/host_objects.h"
#include "tests/support/failing_heap.h"

namespace {

using bytes = std::vector<std::uint8_t>;

constexpr guid example_id = {0x00112233, 0x4455, 0x6677, {0x88, 0x99, 0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0xFF}};
constexpr guid other_id = {0xA1B2C3D4, 0x0001, 0x0002, {1, 2, 3, 4, 5, 6, 7, 8}};
constexpr guid third_id = {0x00000001, 0x0000, 0x0000, {0, 0, 0, 0, 0, 0, 0, 0x80}};
constexpr guid fourth_id = {0x00000001, 0x0000, 0x0000, {0, 0, 0, 0, 0, 0, 0, 0x7F}};
// The variable example_id with the data "abc", byte for byte.
const bytes example_record = {0x33, 0x22, 0x11, 0x00, 0x55, 0x44, 0x77, 0x66, 0x88, 0x99, 0xAA, 0xBB,
                              0xCC, 0xDD, 0xEE, 0xFF, 0x03, 0x00, 0x00, 0x00, 0x61, 0x62, 0x63};

bytes text(const std::string& s) { return bytes(s.begin(), s.end()); }

// The GUID's memory bytes (example_record pins their order), length, data.
bytes record(const guid& id, const bytes& data) {
  const auto* id_bytes = reinterpret_cast<const std::uint8_t*>(&id);
  bytes out(id_bytes, id_bytes + 16);
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<std::uint8_t>(data.size() >> (8 * i)));
  out.insert(out.end(), data.begin(), data.end());
  return out;
}

bytes join(std::initializer_list<bytes> parts) {
  bytes out;
  for (const bytes& part : parts) out.insert(out.end(), part.begin(), part.end());
  return out;
}

using call = std::pair<stream_operation, std::uint64_t>;
constexpr auto read = stream_operation::read_bytes, skip = stream_operation::skip_bytes,
               skip_exact = stream_operation::skip_exact, write = stream_operation::write_bytes;
constexpr call guid_read{read, 16}, length_read{stream_operation::read_exact, 4};

// The calls a stream received; each must have carried the player's abort signal.
std::vector<call> calls_of(const stream_recorder& stream, const abort_signal& abort) {
  std::vector<call> out;
  for (const stream_call& c : stream.calls()) {
    EXPECT_EQ(c.abort, &abort);
    out.emplace_back(c.operation, c.count);
  }
  return out;
}

// An error of the player's own, which the component knows nothing about.
struct host_error {};

class test_saveable final : public saveable_variable {
 public:
  using behaviour = std::function<void(writable_stream&, abort_signal&)>;
  test_saveable(const ::guid& id, behaviour save) : saveable_variable(id), save_(std::move(save)) {}
  void save_data(writable_stream& stream, abort_signal& abort) override { save_(stream, abort); }

 private:
  behaviour save_;
};

test_saveable::behaviour writes(std::vector<bytes> pieces) {
  return [pieces](writable_stream& stream, abort_signal& abort) {
    for (const bytes& piece : pieces) stream.write_bytes(piece.data(), static_cast<std::uint32_t>(piece.size()), abort);
  };
}

// Logs each load: the length given, the bytes received, and whether a
// truncation error came out of the reader.
class test_loadable final : public loadable_variable {
 public:
  struct load {
    std::uint32_t length;
    bytes received;
    bool truncated = false;
    friend bool operator==(const load&, const load&) = default;
  };
  using behaviour = std::function<void(readable_stream&, std::uint32_t, abort_signal&, bytes&)>;

  test_loadable(const ::guid& id, behaviour load) : loadable_variable(id), load_(std::move(load)) {}
  void load_data(readable_stream& stream, std::uint32_t length, abort_signal& abort) override {
    loads.push_back({length, {}});
    try {
      load_(stream, length, abort, loads.back().received);
    } catch (const foobar2000_io::exception_io_data_truncation&) {
      loads.back().truncated = true;
      throw;
    }
  }

  std::vector<load> loads;

 private:
  behaviour load_;
};
using loads = std::vector<test_loadable::load>;

// read_bytes requests of `request` bytes until one comes back short.
test_loadable::behaviour reads_all_in(std::uint32_t request) {
  return [request](readable_stream& stream, std::uint32_t, abort_signal& abort, bytes& received) {
    for (std::uint32_t got = request; got == request;) {
      bytes piece(request);
      got = stream.read_bytes(piece.data(), request, abort);
      received.insert(received.end(), piece.begin(), piece.begin() + got);
    }
  };
}

// One read_exact of `count` bytes, or of the record's length.
constexpr std::uint32_t whole_record = UINT32_MAX;
test_loadable::behaviour reads_exactly(std::uint32_t count = whole_record) {
  return [count](readable_stream& stream, std::uint32_t length, abort_signal& abort, bytes& received) {
    received.resize(count == whole_record ? length : count);
    stream.read_exact(received.data(), static_cast<std::uint32_t>(received.size()), abort);
  };
}

class ConfigTest : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(saveable_list, nullptr);
    ASSERT_EQ(loadable_list, nullptr);
    heap_blocks_before_ = failing_heap::live_blocks();
  }
  void TearDown() override {
    failing_heap::fail_request(0);
    node_allocations::reset();
    EXPECT_EQ(failing_heap::live_blocks(), heap_blocks_before_);
  }

  test_abort_signal abort_;

 private:
  std::size_t heap_blocks_before_ = 0;
};

// --- Save ---

TEST_F(ConfigTest, SavingNoVariablesMakesNoCallAndNoAllocation) {
  test_writable_stream out;
  const std::size_t heap_calls = failing_heap::calls();
  save_configuration(out, abort_);
  EXPECT_TRUE(out.calls().empty());
  EXPECT_EQ(failing_heap::calls(), heap_calls);
}

TEST_F(ConfigTest, RecordsFollowListOrderWithTheirDataInOneWrite) {
  test_saveable silent(other_id, writes({}));
  test_saveable pieces(example_id, writes({text("a"), {}, text("bc")}));  // linked last: first in the list
  test_writable_stream out;
  save_configuration(out, abort_);
  EXPECT_EQ(out.bytes(), join({example_record, record(other_id, {})}));
  EXPECT_EQ(calls_of(out, abort_), (std::vector<call>{{write, 16}, {write, 4}, {write, 3}, {write, 16}, {write, 4}}));
  EXPECT_EQ(abort_.calls(), 3u);  // one poll per piece written into the buffer
}

TEST_F(ConfigTest, OneBufferServesEveryEntryAndGrowsOnlyPastTheLargest) {
  test_saveable third(third_id, writes({bytes(9, 3)}));
  test_saveable second(other_id, writes({bytes(2, 2), bytes(1, 2)}));
  test_saveable first(example_id, writes({bytes(5, 1)}));
  test_writable_stream out;
  const std::size_t heap_calls = failing_heap::calls();
  save_configuration(out, abort_);
  // 1 byte for the first clear, 8 for the 5 bytes, none for 3, 16 for 9, then the free.
  EXPECT_EQ(failing_heap::calls() - heap_calls, 4u);
  EXPECT_EQ(out.bytes(),
            join({record(example_id, bytes(5, 1)), record(other_id, bytes(3, 2)), record(third_id, bytes(9, 3))}));
}

TEST_F(ConfigTest, BufferDoublesFromOneAndRefusedGrowthChangesNothing) {
  byte_buffer buffer;
  buffer.set_size(0);
  EXPECT_EQ(buffer.capacity(), 1u);
  buffer.set_size(3);
  buffer.data()[2] = 0x5A;
  buffer.set_size(1);
  EXPECT_EQ(buffer.capacity(), 4u);
  buffer.set_size(1000);
  EXPECT_EQ(buffer.capacity(), 1024u);

  std::uint8_t* const data = buffer.data();
  EXPECT_THROW(buffer.set_size(0x80000001u), std::bad_alloc);  // the doubling would pass 32 bits
  failing_heap::fail_request(1);
  EXPECT_THROW(buffer.set_size(1025), std::bad_alloc);
  buffer_writer writer(buffer);  // the end would pass 32 bits: refused before the source is read
  EXPECT_THROW(writer.write_bytes(nullptr, UINT32_MAX - 500, abort_), std::bad_alloc);
  EXPECT_EQ(buffer.data(), data);
  EXPECT_EQ(buffer.size(), 1000u);
  EXPECT_EQ(buffer.capacity(), 1024u);
  EXPECT_EQ(buffer.data()[2], 0x5A);
}

TEST_F(ConfigTest, SaveErrorsLeaveWithEarlierRecordsWritten) {
  test_saveable aborted(other_id, [](writable_stream& stream, abort_signal& abort) {
    stream.write_bytes("ok", 2, abort);
    static_cast<test_abort_signal&>(abort).set_answer(true);
    stream.write_bytes("no", 2, abort);
  });
  test_saveable earlier(example_id, writes({text("abc")}));
  test_writable_stream out;
  EXPECT_THROW(save_configuration(out, abort_), foobar2000_io::exception_aborted);
  EXPECT_EQ(out.bytes(), example_record);

  abort_.set_answer(false);
  test_writable_stream refusing;
  refusing.fail_call(1, std::make_exception_ptr(host_error{}));
  EXPECT_THROW(save_configuration(refusing, abort_), host_error);
  EXPECT_EQ(refusing.calls().size(), 2u);
}

// --- Load ---

TEST_F(ConfigTest, StreamShorterThanAGuidEndsAfterOneRead) {
  test_loadable variable(example_id, reads_exactly());
  for (std::size_t size = 0; size < 16; ++size) {
    test_readable_stream in(bytes(example_record.begin(), example_record.begin() + size));
    load_configuration(in, abort_);
    EXPECT_EQ(calls_of(in, abort_), (std::vector<call>{guid_read})) << size;
  }
  EXPECT_TRUE(variable.loads.empty());
}

TEST_F(ConfigTest, UnclaimedRecordsArePassedOverWithOneExactSkip) {
  const auto load_and_check = [this] {
    test_readable_stream in(
        join({record(example_id, {}), record(other_id, text("1234567")), example_record, bytes(10, 0xEE)}));
    load_configuration(in, abort_);
    EXPECT_EQ(calls_of(in, abort_), (std::vector<call>{guid_read,
                                                       length_read,
                                                       {skip_exact, 0},
                                                       guid_read,
                                                       length_read,
                                                       {skip_exact, 7},
                                                       guid_read,
                                                       length_read,
                                                       {skip_exact, 3},
                                                       guid_read}));
  };
  load_and_check();  // no variables at all
  test_loadable unrelated(third_id, reads_exactly());
  load_and_check();
  EXPECT_TRUE(unrelated.loads.empty());
}

TEST_F(ConfigTest, ClaimedRecordsReachTheirVariableOncePerRecordInStreamOrder) {
  test_loadable variable(example_id, reads_all_in(64));
  test_readable_stream in(
      join({example_record, record(other_id, text("12")), record(example_id, {}), record(example_id, text("q"))}));
  load_configuration(in, abort_);
  EXPECT_EQ(variable.loads, (loads{{3, text("abc")}, {0, {}}, {1, text("q")}}));
  // Every request is clamped to what is left of the record; an empty record
  // still gets its (empty) read and no skip follows.
  EXPECT_EQ(calls_of(in, abort_), (std::vector<call>{guid_read,
                                                     length_read,
                                                     {read, 3},
                                                     guid_read,
                                                     length_read,
                                                     {skip_exact, 2},
                                                     guid_read,
                                                     length_read,
                                                     {read, 0},
                                                     guid_read,
                                                     length_read,
                                                     {read, 1},
                                                     guid_read}));
}

TEST_F(ConfigTest, UnreadRestIsSkippedAndOverreadingIsTruncationThatStaysInside) {
  test_loadable short_reader(example_id, reads_exactly(2));
  test_loadable over_reader(other_id, reads_exactly(10));
  test_loadable over_skipper(third_id, [](readable_stream& stream, std::uint32_t, abort_signal& abort, bytes&) {
    stream.skip_exact(100, abort);
  });
  test_loadable next(fourth_id, reads_exactly());
  test_readable_stream in(join({record(example_id, text("abcde")), record(other_id, text("wxyz")),
                                record(third_id, text("skipped")), record(fourth_id, text("next"))}));
  load_configuration(in, abort_);
  EXPECT_EQ(short_reader.loads, (loads{{5, text("ab")}}));
  EXPECT_EQ(over_reader.loads, (loads{{4, join({text("wxyz"), bytes(6)}), true}}));
  EXPECT_EQ(over_skipper.loads, (loads{{7, {}, true}}));
  EXPECT_EQ(next.loads, (loads{{4, text("next")}}));
  EXPECT_EQ(calls_of(in, abort_), (std::vector<call>{guid_read,
                                                     length_read,
                                                     {read, 2},
                                                     {skip, 3},
                                                     guid_read,
                                                     length_read,
                                                     {read, 4},
                                                     guid_read,
                                                     length_read,
                                                     {skip, 7},
                                                     guid_read,
                                                     length_read,
                                                     {read, 4},
                                                     guid_read}));
}

TEST_F(ConfigTest, OfTwoEntriesWithOneGuidTheLaterInListOrderLoads) {
  test_loadable later(example_id, reads_exactly());  // linked first, so later in the list
  test_loadable earlier(example_id, reads_exactly());
  test_readable_stream in(example_record);
  load_configuration(in, abort_);
  EXPECT_EQ(later.loads.size(), 1u);
  EXPECT_TRUE(earlier.loads.empty());
}

TEST_F(ConfigTest, DataErrorsCostOnlyTheirOwnRecord) {
  test_loadable failing(example_id, [](readable_stream& stream, std::uint32_t, abort_signal& abort, bytes& received) {
    received.resize(1);
    stream.read_exact(received.data(), 1, abort);
    throw foobar2000_io::exception_io_data();
  });
  // The player's stream fails its read with a data error: the same outcome.
  test_loadable host_failure(other_id, reads_all_in(8));
  test_loadable next(third_id, reads_exactly());
  test_readable_stream in(
      join({record(example_id, text("abc")), record(other_id, text("def")), record(third_id, text("ghi"))}));
  in.fail_call(6, std::make_exception_ptr(foobar2000_io::exception_io_data()));
  load_configuration(in, abort_);
  EXPECT_EQ(next.loads, (loads{{3, text("ghi")}}));
  EXPECT_EQ(calls_of(in, abort_), (std::vector<call>{guid_read,
                                                     length_read,
                                                     {read, 1},
                                                     {skip, 2},
                                                     guid_read,
                                                     length_read,
                                                     {read, 3},
                                                     {skip, 3},
                                                     guid_read,
                                                     length_read,
                                                     {read, 3},
                                                     guid_read}));
}

// Every other error leaves the load unchanged, the variables loaded before it
// keep their data, and the index is gone: the test holds a count on each node
// while the error passes, and its release must be the last.
template <class Error>
void check_error_leaves_load(Error error, test_abort_signal& abort) {
  SCOPED_TRACE(typeid(Error).name());
  std::vector<void*> nodes;
  nodes.reserve(8);
  node_allocations::sink = &nodes;
  test_loadable before(other_id, reads_exactly());
  test_loadable failing(example_id, [&](readable_stream&, std::uint32_t, abort_signal&, bytes&) {
    for (void* node : nodes) static_cast<index_node*>(node)->add_reference();
    throw error;
  });
  test_loadable after(third_id, reads_exactly());
  test_readable_stream in(join({record(other_id, text("1")), example_record, record(third_id, text("3"))}));
  EXPECT_THROW(load_configuration(in, abort), Error);
  node_allocations::sink = nullptr;
  EXPECT_EQ(before.loads, (loads{{1, text("1")}}));
  EXPECT_TRUE(after.loads.empty());
  EXPECT_EQ(in.position(), 20u + 1 + 20);  // the failing record's data unread
  ASSERT_EQ(nodes.size(), 3u);
  for (void* block : nodes) {
    auto* node = static_cast<index_node*>(block);
    EXPECT_FALSE(node->smaller || node->larger || node->parent);
    EXPECT_EQ(node->release(), 0);
  }
}

struct host_exception : std::exception {};

TEST_F(ConfigTest, EveryOtherErrorLeavesTheLoadAndTheIndexIsReleased) {
  check_error_leaves_load(foobar2000_io::exception_aborted(), abort_);
  check_error_leaves_load(pfc::bad_allocation(), abort_);
  check_error_leaves_load(foobar2000_io::exception_io(), abort_);  // an I/O error, but not a data error
  check_error_leaves_load(host_exception(), abort_);
}

TEST_F(ConfigTest, StreamEndingInsideARecord) {
  test_loadable variable(example_id, reads_exactly());
  const bytes claimed = record(example_id, text("abcdef")), unclaimed = record(other_id, text("uvwxyz"));
  const auto cut = [](const bytes& whole, std::size_t size) { return bytes(whole.begin(), whole.begin() + size); };

  test_readable_stream in_guid(join({claimed, cut(claimed, 9)}));
  load_configuration(in_guid, abort_);  // a partial GUID is the end
  EXPECT_EQ(variable.loads.size(), 1u);

  test_readable_stream in_length(cut(unclaimed, 18));
  in_length.fail_call(1, std::make_exception_ptr(host_error{}));
  EXPECT_THROW(load_configuration(in_length, abort_), host_error);

  test_readable_stream in_unclaimed(cut(unclaimed, 23));
  in_unclaimed.fail_call(2, std::make_exception_ptr(host_error{}));
  EXPECT_THROW(load_configuration(in_unclaimed, abort_), host_error);

  // The variable meets the end as the end of its record (its truncation is
  // swallowed); the missing rest then cannot be skipped.
  test_readable_stream in_claimed(cut(claimed, 23));
  EXPECT_THROW(load_configuration(in_claimed, abort_), foobar2000_io::exception_io_data_truncation);
  EXPECT_EQ(variable.loads.back(), (test_loadable::load{6, join({text("abc"), bytes(3)}), true}));
  EXPECT_EQ(calls_of(in_claimed, abort_), (std::vector<call>{guid_read, length_read, {read, 6}, {skip, 3}}));
}

TEST_F(ConfigTest, NoMemoryForTheIndexLeavesBeforeAnyRead) {
  test_loadable a(example_id, reads_exactly()), b(other_id, reads_exactly()), c(third_id, reads_exactly());
  node_allocations::limit = node_allocations::count + 2;
  test_readable_stream in(example_record);
  EXPECT_THROW(load_configuration(in, abort_), std::bad_alloc);
  EXPECT_TRUE(in.calls().empty());
}

}  // namespace
