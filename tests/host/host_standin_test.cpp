// The test host is checked only where a fault of its own would make other
// tests pass or fail for the wrong reason.
#include "tools/host_standin/host_standin.h"

#include <gtest/gtest.h>

#include "support/errors.h"

namespace {

std::vector<std::uint8_t> bytes_of(std::string_view text) { return {text.begin(), text.end()}; }

TEST(TestReadableStream, ShortOnlyAtTheEndAndExactCallsRaiseTruncation) {
  player_abort_signal abort;
  player_readable_stream stream(bytes_of("abcdefg"));
  char buffer[8] = {};

  EXPECT_EQ(stream.read_bytes(buffer, 3, abort), 3u);
  EXPECT_EQ(std::string_view(buffer, 3), "abc");
  EXPECT_EQ(stream.skip_bytes(1, abort), 1u);
  EXPECT_EQ(stream.read_bytes(buffer, 8, abort), 3u);
  EXPECT_EQ(std::string_view(buffer, 3), "efg");
  EXPECT_EQ(stream.read_bytes(buffer, 8, abort), 0u);
  EXPECT_EQ(stream.skip_bytes(5, abort), 0u);

  player_readable_stream exact(bytes_of("xyz"));
  EXPECT_THROW(exact.read_exact(buffer, 4, abort), foobar2000_io::exception_io_data_truncation);
  EXPECT_EQ(exact.position(), 3u);
  player_readable_stream skipped(bytes_of("xyz"));
  skipped.skip_exact(2, abort);
  EXPECT_THROW(skipped.skip_exact(2, abort), foobar2000_io::exception_io_data_truncation);
  EXPECT_EQ(abort.calls(), 0u);
}

TEST(TestReadableStream, RecordsEveryCallAndFailsTheChosenOneWithoutMovingBytes) {
  player_abort_signal abort;
  player_readable_stream stream(bytes_of("0123456789"));
  stream.fail_call(2, std::make_exception_ptr(foobar2000_io::exception_aborted()));
  char buffer[4];

  stream.read_exact(buffer, 4, abort);
  stream.skip_exact(1, abort);
  EXPECT_THROW(stream.read_bytes(buffer, 4, abort), foobar2000_io::exception_aborted);
  EXPECT_EQ(stream.position(), 5u);
  EXPECT_EQ(stream.read_bytes(buffer, 4, abort), 4u);

  const std::vector<stream_call> expected = {{stream_operation::read_exact, 4, &abort},
                                             {stream_operation::skip_exact, 1, &abort},
                                             {stream_operation::read_bytes, 4, &abort},
                                             {stream_operation::read_bytes, 4, &abort}};
  EXPECT_EQ(stream.calls(), expected);
}

TEST(TestWritableStream, AppendsAndFailsTheChosenCall) {
  player_abort_signal abort;
  player_writable_stream stream;
  stream.fail_call(1);
  stream.write_bytes("ab", 2, abort);
  EXPECT_THROW(stream.write_bytes("cd", 2, abort), foobar2000_io::exception_io_data_truncation);
  stream.write_bytes("ef", 2, abort);
  stream.write_bytes(nullptr, 0, abort);
  EXPECT_EQ(stream.bytes(), bytes_of("abef"));
  EXPECT_EQ(stream.calls().size(), 4u);
}

TEST(TestTrackInfo, FindFieldMatchesWholeNamesWithinTheLength) {
  const player_track_info info(
      {{"artist", {"A"}}, {"Artist", {"B"}}, {"hidden", {"C"}, false}, {"artist", {"D"}}, {"hidden", {"E"}}});
  EXPECT_EQ(info.find_field("artist", track_info::no_field), 0u);
  EXPECT_EQ(info.find_field("Artist", track_info::no_field), 1u);
  EXPECT_EQ(info.find_field("artists", 6), 0u);
  EXPECT_EQ(info.find_field("artist", 3), track_info::no_field);
  EXPECT_EQ(info.find_field("art\0ist", 7), track_info::no_field);
  EXPECT_EQ(info.find_field("ARTIST", track_info::no_field), track_info::no_field);
  EXPECT_EQ(info.find_field("hidden", track_info::no_field), 4u);
  EXPECT_EQ(info.find_field("", track_info::no_field), track_info::no_field);
  ASSERT_EQ(info.lookups().size(), 8u);
  EXPECT_EQ(info.lookups()[2].name, "artist");
  EXPECT_EQ(info.lookups()[2].length, 6u);
}

TEST(TestHostApi, CreatedInstancesBelongToTheCaller) {
  player_host_api api;
  player_console_sink first, second;
  api.add_service(first);
  api.add_service(second);

  const service_class_handle sinks = api.find_service_class(&console_sink::class_id);
  EXPECT_EQ(api.count_service_instances(sinks), 2u);
  {
    service_ref held;
    ASSERT_TRUE(api.create_service_instance(&held, sinks, 1));
    EXPECT_EQ(held.get(), static_cast<service_base*>(&second));
    EXPECT_EQ(second.balance(), 1);
    EXPECT_FALSE(api.create_service_instance(&held, sinks, 2));
    EXPECT_EQ(held.get(), static_cast<service_base*>(&second));
  }
  EXPECT_EQ(second.balance(), 0);
  EXPECT_EQ(first.add_reference_calls(), 0);

  const service_class_handle other = api.find_service_class(&initquit::class_id);
  EXPECT_NE(other, sinks);
  EXPECT_EQ(api.count_service_instances(other), 0u);
  EXPECT_EQ(api.calls(player_host_api::call::find_service_class), 2u);
  EXPECT_EQ(api.calls(player_host_api::call::create_service_instance), 2u);
  EXPECT_EQ(api.calls(player_host_api::call::count_service_instances), 2u);
}

TEST(TestHostApi, CreationCanDisagreeWithTheCountOrFail) {
  player_host_api api;
  player_callback_registry registry;
  api.add_service(registry);
  const service_class_handle handle = api.find_service_class(&playback_callback_registry::class_id);

  service_ref held;
  api.set_creation(playback_callback_registry::class_id, player_host_api::creation::refused);
  EXPECT_EQ(api.count_service_instances(handle), 1u);
  EXPECT_FALSE(api.create_service_instance(&held, handle, 0));
  EXPECT_FALSE(held);

  api.set_creation(playback_callback_registry::class_id, player_host_api::creation::filled_but_refused);
  EXPECT_FALSE(api.create_service_instance(&held, handle, 0));
  EXPECT_EQ(held.get(), static_cast<service_base*>(&registry));
  held.reset();
  EXPECT_EQ(registry.balance(), 0);

  // Calls are numbered from the first ever made: one count call was made above.
  ASSERT_EQ(api.calls(player_host_api::call::count_service_instances), 1u);
  api.fail_call(player_host_api::call::count_service_instances, 2, std::make_exception_ptr(pfc::exception_overflow()));
  EXPECT_NO_THROW(api.count_service_instances(handle));
  EXPECT_THROW(api.count_service_instances(handle), pfc::exception_overflow);
  EXPECT_NO_THROW(api.count_service_instances(handle));
}

TEST(CountedService, QueryAnswersOnlyForItsOwnClass) {
  player_console_sink sink;
  service_ref held;
  EXPECT_FALSE(sink.query_by_guid(&held, &initquit::class_id));
  EXPECT_FALSE(held);
  ASSERT_TRUE(sink.query_by_guid(&held, &console_sink::class_id));
  EXPECT_EQ(sink.balance(), 1);
  held.reset();
  EXPECT_EQ(sink.balance(), 0);

  player_track_handle track;
  EXPECT_FALSE(track.query_by_guid(&held, &console_sink::class_id));
  EXPECT_EQ(track.release(), 0);
  EXPECT_EQ(track.balance(), -1);
}

TEST(TestHostString, RecordsSetTextApartFromOtherCalls) {
  player_host_string text("old");
  text.set_text("abcdef", 2);
  text.set_text(text.text().c_str() + 1, pfc::infinite_size);
  EXPECT_EQ(text.text(), "b");
  ASSERT_EQ(text.set_text_calls().size(), 2u);
  EXPECT_EQ(text.set_text_calls()[0].text, "ab");
  EXPECT_EQ(text.set_text_calls()[0].limit, 2u);
  EXPECT_EQ(text.other_calls(), 0u);
  text.append_text("xyz", 2);
  EXPECT_EQ(text.text(), "bxy");
  EXPECT_EQ(text.other_calls(), 1u);
}

}  // namespace
