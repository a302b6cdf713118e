// Console output and service lookup through the player's host_api.
#include <gtest/gtest.h>

#include <stdexcept>

#include "host/console.h"
#include "host/module.h"
#include "support/errors.h"
#include "tools/host_standin/host_standin.h"

namespace {

using call = player_host_api::call;

class console_output : public ::testing::Test {
 protected:
  console_output() {
    foobar2000_get_interface(&api, nullptr);
    services_ready = true;
  }
  ~console_output() override {
    services_ready = false;
    kept_host_api = nullptr;
  }

  player_host_api api;
  player_console_sink first, second;
};

TEST_F(console_output, reaches_every_sink_once_in_index_order) {
  api.add_service(first);
  api.add_service(second);
  console::formatter().append_terminated("hello ").append_terminated("world\r\n");

  for (player_console_sink* sink : {&first, &second}) {
    ASSERT_EQ(sink->writes().size(), 1u) << "two appends are one message";
    EXPECT_EQ(sink->writes()[0].text, "hello world\r\n");
    EXPECT_EQ(sink->writes()[0].length, 0xFFFFFFFFu);
    EXPECT_EQ(sink->balance(), 0);
  }
  EXPECT_EQ(api.calls(call::find_service_class), 1u);
  EXPECT_EQ(api.calls(call::create_service_instance), 3u) << "asks for index 2, which ends the walk";
}

TEST_F(console_output, empty_messages_and_messages_before_ready_make_no_call) {
  api.add_service(first);
  console::formatter();
  console::formatter().append_terminated("").append_terminated("");
  services_ready = false;
  console::formatter().append_terminated("dropped\r\n");  // its storage is still freed (sanitizer build)
  EXPECT_EQ(api.calls(call::find_service_class), 0u);
  EXPECT_TRUE(first.writes().empty());
}

TEST_F(console_output, without_sinks_prints_nothing_and_raises_nothing) {
  console::formatter().append_terminated("nobody listens\r\n");
  EXPECT_EQ(api.calls(call::create_service_instance), 1u);
}

TEST_F(console_output, a_failing_sink_lets_the_error_out_with_every_reference_released) {
  api.add_service(first);
  api.add_service(second);
  second.fail_write(0, std::make_exception_ptr(std::runtime_error("sink broke")));
  EXPECT_THROW(console::formatter().append_terminated("text\r\n"), std::runtime_error);
  EXPECT_EQ(first.writes().size(), 1u);
  EXPECT_EQ(first.balance(), 0);
  EXPECT_EQ(second.balance(), 0);
}

TEST_F(console_output, a_reference_stored_with_a_refusal_is_released) {
  api.add_service(first);
  api.set_creation(console_sink::class_id, player_host_api::creation::filled_but_refused);
  console::formatter().append_terminated("text\r\n");
  EXPECT_TRUE(first.writes().empty());
  EXPECT_EQ(first.balance(), 0);
}

TEST_F(console_output, single_service_lookup_reports_none_and_duplicates_without_creating) {
  player_callback_registry registry, another;
  service_ref out;
  EXPECT_THROW(get_single_service(playback_callback_registry::class_id, out), exception_service_not_found);

  api.add_service(registry);
  EXPECT_TRUE(get_single_service(playback_callback_registry::class_id, out));
  EXPECT_EQ(out.get(), static_cast<service_base*>(&registry));
  out.reset();

  api.add_service(another);
  try {
    get_single_service(playback_callback_registry::class_id, out);
    ADD_FAILURE() << "no error";
  } catch (const exception_service_duplicated& error) {
    EXPECT_STREQ(error.what(), "Service duplicated");
  }
  EXPECT_FALSE(out);
  EXPECT_EQ(api.calls(call::create_service_instance), 1u) << "only the single instance was created";
  EXPECT_EQ(registry.balance(), 0);
  EXPECT_EQ(another.balance(), 0);
}

TEST_F(console_output, single_service_lookup_passes_on_a_refused_creation) {
  player_callback_registry registry;
  api.add_service(registry);
  api.set_creation(playback_callback_registry::class_id, player_host_api::creation::refused);
  service_ref out;
  EXPECT_FALSE(get_single_service(playback_callback_registry::class_id, out));
  EXPECT_FALSE(out);
}

}  // namespace
