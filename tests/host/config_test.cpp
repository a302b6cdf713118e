// Saving and loading configuration records through the player's streams, as
// the player sees it: the bytes, every stream call, and what leaves the call.
#include "host/config.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <optional>
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

bytes text(const std::string& s) { return bytes(s.begin(), s.end()); }

// A record as the player stores it, built from the fields.
bytes record(const guid& id, const bytes& data, std::uint32_t length) {
  bytes out;
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<std::uint8_t>(id.data1 >> (8 * i)));
  for (int i = 0; i < 2; ++i) out.push_back(static_cast<std::uint8_t>(id.data2 >> (8 * i)));
  for (int i = 0; i < 2; ++i) out.push_back(static_cast<std::uint8_t>(id.data3 >> (8 * i)));
  out.insert(out.end(), id.data4, id.data4 + 8);
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<std::uint8_t>(length >> (8 * i)));
  out.insert(out.end(), data.begin(), data.end());
  return out;
}
bytes record(const guid& id, const bytes& data) { return record(id, data, static_cast<std::uint32_t>(data.size())); }

bytes join(std::initializer_list<bytes> parts) {
  bytes out;
  for (const bytes& part : parts) out.insert(out.end(), part.begin(), part.end());
  return out;
}

using call = std::pair<stream_operation, std::uint64_t>;
constexpr stream_operation read = stream_operation::read_bytes;
constexpr stream_operation read_exact = stream_operation::read_exact;
constexpr stream_operation skip = stream_operation::skip_bytes;
constexpr stream_operation skip_exact = stream_operation::skip_exact;
constexpr stream_operation write = stream_operation::write_bytes;

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
struct host_error {
  int tag;
};

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

// Logs each load: the length it was given and the bytes it got.
class test_loadable final : public loadable_variable {
 public:
  struct load {
    std::uint32_t length;
    bytes received;
    friend bool operator==(const load&, const load&) = default;
  };
  using behaviour = std::function<void(readable_stream&, std::uint32_t, abort_signal&, bytes&)>;

  test_loadable(const ::guid& id, behaviour load) : loadable_variable(id), load_(std::move(load)) {}
  void load_data(readable_stream& stream, std::uint32_t length, abort_signal& abort) override {
    loads.push_back({length, {}});
    load_(stream, length, abort, loads.back().received);
  }

  std::vector<load> loads;

 private:
  behaviour load_;
};

// read_bytes requests of `request` bytes until one comes back short.
test_loadable::behaviour reads_all_in(std::uint32_t request) {
  return [request](readable_stream& stream, std::uint32_t, abort_signal& abort, bytes& received) {
    for (;;) {
      bytes piece(request);
      const std::uint32_t got = stream.read_bytes(piece.data(), request, abort);
      received.insert(received.end(), piece.begin(), piece.begin() + got);
      if (got < request) return;
    }
  };
}

// One read_exact of `count` bytes, whatever the record's length.
test_loadable::behaviour reads_exactly(std::uint32_t count) {
  return [count](readable_stream& stream, std::uint32_t, abort_signal& abort, bytes& received) {
    received.resize(count);
    stream.read_exact(received.data(), count, abort);
  };
}

// Reads its whole record exactly.
void reads_record(readable_stream& stream, std::uint32_t length, abort_signal& abort, bytes& received) {
  reads_exactly(length)(stream, length, abort, received);
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

TEST_F(ConfigTest, SavingNoVariablesTouchesNeitherStreamNorHeap) {
  test_writable_stream out;
  const std::size_t heap_calls = failing_heap::calls();
  save_configuration(out, abort_);
  EXPECT_TRUE(out.calls().empty());
  EXPECT_EQ(failing_heap::calls(), heap_calls);
  EXPECT_EQ(abort_.calls(), 0u);
}

TEST_F(ConfigTest, RecordsFollowListOrderWithTheirDataInOneWrite) {
  test_saveable silent(other_id, writes({}));
  test_saveable pieces(example_id, writes({text("a"), {}, text("bc")}));  // linked last: first in the list
  test_writable_stream out;
  save_configuration(out, abort_);

  const bytes example = {0x33, 0x22, 0x11, 0x00, 0x55, 0x44, 0x77, 0x66, 0x88, 0x99, 0xAA, 0xBB,
                         0xCC, 0xDD, 0xEE, 0xFF, 0x03, 0x00, 0x00, 0x00, 0x61, 0x62, 0x63};
  EXPECT_EQ(out.bytes(), join({example, record(other_id, {})}));
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

TEST_F(ConfigTest, ByteBufferDoublesFromOneAndFailedGrowthChangesNothing) {
  byte_buffer buffer;
  buffer.set_size(0);
  EXPECT_EQ(buffer.capacity(), 1u);
  buffer.set_size(3);
  EXPECT_EQ(buffer.capacity(), 4u);
  buffer.data()[2] = 0x5A;
  buffer.set_size(1);
  EXPECT_EQ(buffer.capacity(), 4u);
  buffer.set_size(1000);
  EXPECT_EQ(buffer.capacity(), 1024u);
  EXPECT_EQ(buffer.data()[2], 0x5A);  // growth keeps the content

  std::uint8_t* const data = buffer.data();
  EXPECT_THROW(buffer.set_size(0x80000001u), std::bad_alloc);  // the doubling would pass 32 bits
  failing_heap::fail_request(1);
  EXPECT_THROW(buffer.set_size(1025), std::bad_alloc);
  EXPECT_EQ(buffer.data(), data);
  EXPECT_EQ(buffer.size(), 1000u);
  EXPECT_EQ(buffer.capacity(), 1024u);
  EXPECT_EQ(buffer.data()[2], 0x5A);

  buffer.free();
  EXPECT_EQ(buffer.data(), nullptr);
  EXPECT_EQ(buffer.size(), 0u);
  EXPECT_EQ(buffer.capacity(), 0u);
}

TEST_F(ConfigTest, BufferWriterRefusesAbortAndSizeOverflowWithoutAppending) {
  byte_buffer buffer;
  buffer_writer writer(buffer);
  writer.write_bytes("xy", 2, abort_);
  abort_.set_answer(true);
  EXPECT_THROW(writer.write_bytes("z", 1, abort_), foobar2000_io::exception_aborted);
  abort_.set_answer(false);
  // The source is never read: the size check comes first.
  EXPECT_THROW(writer.write_bytes(nullptr, UINT32_MAX - 1, abort_), std::bad_alloc);
  EXPECT_EQ(abort_.calls(), 3u);
  ASSERT_EQ(buffer.size(), 2u);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(buffer.data()), 2), "xy");
}

TEST_F(ConfigTest, AbortDuringSaveKeepsEarlierRecordsAndWritesNothingOfTheCurrent) {
  test_saveable aborted(other_id, [](writable_stream& stream, abort_signal& abort) {
    stream.write_bytes("ok", 2, abort);
    static_cast<test_abort_signal&>(abort).set_answer(true);
    stream.write_bytes("no", 2, abort);
  });
  test_saveable earlier(example_id, writes({text("abc")}));
  test_writable_stream out;
  EXPECT_THROW(save_configuration(out, abort_), foobar2000_io::exception_aborted);
  EXPECT_EQ(out.bytes(), record(example_id, text("abc")));
}

TEST_F(ConfigTest, SaveErrorsLeaveUnchanged) {
  test_saveable failing(other_id, [](writable_stream& stream, abort_signal& abort) {
    stream.write_bytes("data", 4, abort);
    throw host_error{7};
  });
  test_writable_stream out;
  try {
    save_configuration(out, abort_);
    ADD_FAILURE() << "no error left the save";
  } catch (const host_error& error) {
    EXPECT_EQ(error.tag, 7);
  }
  EXPECT_TRUE(out.calls().empty());

  test_saveable fine(example_id, writes({text("abc")}));  // now first in the list
  test_writable_stream refusing;
  refusing.fail_call(1, std::make_exception_ptr(host_error{8}));
  try {
    save_configuration(refusing, abort_);
    ADD_FAILURE() << "no error left the save";
  } catch (const host_error& error) {
    EXPECT_EQ(error.tag, 8);
  }
  EXPECT_EQ(calls_of(refusing, abort_), (std::vector<call>{{write, 16}, {write, 4}}));

  test_writable_stream unused;
  failing_heap::fail_request(2);  // the growth for "abc"
  EXPECT_THROW(save_configuration(unused, abort_), std::bad_alloc);
  EXPECT_TRUE(unused.calls().empty());
}

// --- Load ---

TEST_F(ConfigTest, StreamShorterThanAGuidEndsAfterOneRead) {
  for (std::size_t size = 0; size < 16; ++size) {
    test_loadable variable(example_id, reads_record);
    const bytes whole = record(example_id, {});
    test_readable_stream in(bytes(whole.begin(), whole.begin() + size));
    load_configuration(in, abort_);
    EXPECT_EQ(calls_of(in, abort_), (std::vector<call>{{read, 16}})) << size;
    EXPECT_TRUE(variable.loads.empty());
  }
}

TEST_F(ConfigTest, UnclaimedRecordsArePassedOverWithOneExactSkip) {
  for (bool with_variable : {false, true}) {
    test_readable_stream in(join(
        {record(example_id, {}), record(other_id, text("1234567")), record(example_id, text("abc")), bytes(10, 0xEE)}));
    {
      std::optional<test_loadable> unrelated;
      if (with_variable) unrelated.emplace(third_id, reads_record);
      load_configuration(in, abort_);
      if (with_variable) {
        EXPECT_TRUE(unrelated->loads.empty());
      }
    }
    EXPECT_EQ(calls_of(in, abort_), (std::vector<call>{{read, 16},
                                                       {read_exact, 4},
                                                       {skip_exact, 0},
                                                       {read, 16},
                                                       {read_exact, 4},
                                                       {skip_exact, 7},
                                                       {read, 16},
                                                       {read_exact, 4},
                                                       {skip_exact, 3},
                                                       {read, 16}}));
  }
}

TEST_F(ConfigTest, ClaimedRecordsReachTheirVariableOncePerRecordInStreamOrder) {
  test_loadable variable(example_id, reads_all_in(64));
  test_readable_stream in(join({record(example_id, text("xyz")), record(other_id, text("12")), record(example_id, {}),
                                record(example_id, text("q"))}));
  load_configuration(in, abort_);
  EXPECT_EQ(variable.loads, (std::vector<test_loadable::load>{{3, text("xyz")}, {0, {}}, {1, text("q")}}));
  // Every request is clamped to what is left of the record; an empty record
  // still gets its (empty) read and no skip follows.
  EXPECT_EQ(calls_of(in, abort_), (std::vector<call>{{read, 16},
                                                     {read_exact, 4},
                                                     {read, 3},
                                                     {read, 16},
                                                     {read_exact, 4},
                                                     {skip_exact, 2},
                                                     {read, 16},
                                                     {read_exact, 4},
                                                     {read, 0},
                                                     {read, 16},
                                                     {read_exact, 4},
                                                     {read, 1},
                                                     {read, 16}}));
}

TEST_F(ConfigTest, UnreadRestIsSkippedAndOverreadingIsTruncationThatStaysInside) {
  // Each over-reader sees the truncation error itself and lets it go on.
  std::size_t truncations = 0;
  const auto counting_truncations = [&](test_loadable::behaviour inner) -> test_loadable::behaviour {
    return [&truncations, inner](readable_stream& stream, std::uint32_t length, abort_signal& abort, bytes& received) {
      try {
        inner(stream, length, abort, received);
      } catch (const foobar2000_io::exception_io_data_truncation&) {
        ++truncations;
        throw;
      }
    };
  };
  test_loadable short_reader(example_id, reads_exactly(2));
  test_loadable over_reader(other_id, counting_truncations(reads_exactly(10)));
  test_loadable over_skipper(
      third_id, counting_truncations([](readable_stream& stream, std::uint32_t, abort_signal& abort, bytes&) {
        stream.skip_exact(100, abort);
      }));
  test_loadable next(fourth_id, reads_record);
  test_readable_stream in(join({record(example_id, text("abcde")), record(other_id, text("wxyz")),
                                record(third_id, text("skipped")), record(fourth_id, text("next"))}));
  load_configuration(in, abort_);
  EXPECT_EQ(short_reader.loads, (std::vector<test_loadable::load>{{5, text("ab")}}));
  ASSERT_EQ(over_reader.loads.size(), 1u);
  EXPECT_EQ(bytes(over_reader.loads[0].received.begin(), over_reader.loads[0].received.begin() + 4), text("wxyz"));
  EXPECT_EQ(truncations, 2u);
  EXPECT_EQ(next.loads, (std::vector<test_loadable::load>{{4, text("next")}}));
  EXPECT_EQ(calls_of(in, abort_), (std::vector<call>{{read, 16},
                                                     {read_exact, 4},
                                                     {read, 2},
                                                     {skip, 3},
                                                     {read, 16},
                                                     {read_exact, 4},
                                                     {read, 4},
                                                     {read, 16},
                                                     {read_exact, 4},
                                                     {skip, 7},
                                                     {read, 16},
                                                     {read_exact, 4},
                                                     {read, 4},
                                                     {read, 16}}));
}

TEST_F(ConfigTest, OfTwoEntriesWithOneGuidTheLaterInListOrderLoads) {
  test_loadable later(example_id, reads_record);  // linked first, so later in the list
  test_loadable earlier(example_id, reads_record);
  test_readable_stream in(record(example_id, text("v")));
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
  test_loadable next(third_id, reads_record);
  test_readable_stream in(
      join({record(example_id, text("abc")), record(other_id, text("def")), record(third_id, text("ghi"))}));
  in.fail_call(6, std::make_exception_ptr(foobar2000_io::exception_io_data()));
  load_configuration(in, abort_);
  EXPECT_EQ(next.loads, (std::vector<test_loadable::load>{{3, text("ghi")}}));
  EXPECT_EQ(calls_of(in, abort_), (std::vector<call>{{read, 16},
                                                     {read_exact, 4},
                                                     {read, 1},
                                                     {skip, 2},
                                                     {read, 16},
                                                     {read_exact, 4},
                                                     {read, 3},
                                                     {skip, 3},
                                                     {read, 16},
                                                     {read_exact, 4},
                                                     {read, 3},
                                                     {read, 16}}));
}

// Every other error leaves the load unchanged, the variables loaded before it
// keep their data, and the index is gone: the test holds a reference on each
// node while the error passes, and its release must be the last.
template <class Error>
void check_error_leaves_load(Error error, test_abort_signal& abort) {
  SCOPED_TRACE(typeid(Error).name());
  std::vector<void*> nodes;
  nodes.reserve(8);
  node_allocations::record_into(&nodes);
  test_loadable before(other_id, reads_record);
  test_loadable failing(example_id, [&](readable_stream&, std::uint32_t, abort_signal&, bytes&) {
    for (void* node : nodes) static_cast<index_node*>(node)->add_reference();
    throw error;
  });
  test_loadable after(third_id, reads_record);
  test_readable_stream in(
      join({record(other_id, text("1")), record(example_id, text("2")), record(third_id, text("3"))}));
  try {
    load_configuration(in, abort);
    ADD_FAILURE() << "no error left the load";
  } catch (const Error& caught) {
    EXPECT_STREQ(caught.what(), error.what());
  }
  node_allocations::record_into(nullptr);
  EXPECT_EQ(before.loads, (std::vector<test_loadable::load>{{1, text("1")}}));
  EXPECT_TRUE(after.loads.empty());
  EXPECT_EQ(in.position(), 20u + 1 + 20);  // the failing record's data unread
  ASSERT_EQ(nodes.size(), 3u);
  for (void* block : nodes) {
    auto* node = static_cast<index_node*>(block);
    EXPECT_FALSE(node->smaller || node->larger);
    EXPECT_EQ(node->parent, nullptr);
    EXPECT_EQ(node->release(), 0);
  }
}

struct host_exception : std::exception {
  const char* what() const noexcept override { return "host"; }
};

TEST_F(ConfigTest, EveryOtherErrorLeavesTheLoadAndTheIndexIsReleased) {
  check_error_leaves_load(foobar2000_io::exception_aborted(), abort_);
  check_error_leaves_load(pfc::bad_allocation(), abort_);
  check_error_leaves_load(foobar2000_io::exception_io(), abort_);  // an I/O error, but not a data error
  check_error_leaves_load(host_exception(), abort_);
}

TEST_F(ConfigTest, StreamEndingInsideARecord) {
  test_loadable variable(example_id, reads_record);
  const bytes claimed = record(example_id, text("abcdef"));
  const bytes unclaimed = record(other_id, text("uvwxyz"));
  const std::size_t cut = 20 + 3;

  test_readable_stream in_guid(join({claimed, bytes(claimed.begin(), claimed.begin() + 9)}));
  load_configuration(in_guid, abort_);  // a partial GUID is the end
  EXPECT_EQ(variable.loads.size(), 1u);

  test_readable_stream in_length(bytes(unclaimed.begin(), unclaimed.begin() + 18));
  in_length.fail_call(1, std::make_exception_ptr(host_error{1}));
  EXPECT_THROW(load_configuration(in_length, abort_), host_error);

  test_readable_stream in_unclaimed(bytes(unclaimed.begin(), unclaimed.begin() + cut));
  in_unclaimed.fail_call(2, std::make_exception_ptr(host_error{2}));
  EXPECT_THROW(load_configuration(in_unclaimed, abort_), host_error);

  // The variable meets the end as the end of its record (its exact read is
  // swallowed); the missing rest then cannot be skipped.
  variable.loads.clear();
  test_readable_stream in_claimed(bytes(claimed.begin(), claimed.begin() + cut));
  EXPECT_THROW(load_configuration(in_claimed, abort_), foobar2000_io::exception_io_data_truncation);
  ASSERT_EQ(variable.loads.size(), 1u);
  EXPECT_EQ(variable.loads[0].length, 6u);
  EXPECT_EQ(calls_of(in_claimed, abort_), (std::vector<call>{{read, 16}, {read_exact, 4}, {read, 6}, {skip, 3}}));
}

TEST_F(ConfigTest, NoMemoryForTheIndexLeavesBeforeAnyRead) {
  test_loadable a(example_id, reads_record), b(other_id, reads_record), c(third_id, reads_record);
  node_allocations::fail_after(2);
  test_readable_stream in(record(example_id, text("x")));
  EXPECT_THROW(load_configuration(in, abort_), std::bad_alloc);
  EXPECT_TRUE(in.calls().empty());
}

// A setting that saves and loads its bytes, as a component's variable would.
class test_setting final : public saveable_variable, public loadable_variable {
 public:
  test_setting(const ::guid& id, bytes value) : saveable_variable(id), loadable_variable(id), value(std::move(value)) {}
  void save_data(writable_stream& stream, abort_signal& abort) override {
    // In two pieces, to go through the buffer's growth.
    const auto half = static_cast<std::uint32_t>(value.size() / 2);
    stream.write_bytes(value.data(), half, abort);
    stream.write_bytes(value.data() + half, static_cast<std::uint32_t>(value.size()) - half, abort);
  }
  void load_data(readable_stream& stream, std::uint32_t length, abort_signal& abort) override {
    value.resize(length);
    stream.read_exact(value.data(), length, abort);
  }
  bytes value;
};

TEST_F(ConfigTest, SavedConfigurationLoadsBack) {
  test_setting a(example_id, bytes(5000, 0xA5)), b(other_id, {}), c(third_id, text("third"));
  test_writable_stream out;
  save_configuration(out, abort_);
  a.value.clear();
  c.value = text("changed");
  b.value = text("not empty");
  test_readable_stream in(out.bytes());
  load_configuration(in, abort_);
  EXPECT_EQ(a.value, bytes(5000, 0xA5));
  EXPECT_TRUE(b.value.empty());
  EXPECT_EQ(c.value, text("third"));
}

}  // namespace
