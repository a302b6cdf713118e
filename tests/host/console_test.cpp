// Console output and service lookup through the player's host_api.
#include "host/console.h"

#include <gtest/gtest.h>

#include <stdexcept>

#include "harness/player_fakes.h"
#include "host/module.h"
#include "support/errors.h"

namespace {

using call = scripted_host_api::call;
using creation = scripted_host_api::creation;

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

  scripted_host_api api;
  player_console_sink first, second;
};

TEST_F(console_output, reaches_every_sink_once_in_index_order_and_only_when_there_is_something_to_say) {
  console::formatter().append_terminated("nobody listens\r\n");
  EXPECT_EQ(api.calls(call::create_service_instance), 1u);
  api.add_service(first);
  api.add_service(second);
  console::formatter().append_terminated("hello ").append_terminated("world\r\n");
  console::formatter();
  console::formatter().append_terminated("").append_terminated("");
  services_ready = false;
  console::formatter().append_terminated("dropped\r\n");  // its storage is still freed (sanitizer build)
  for (player_console_sink* sink : {&first, &second}) {
    ASSERT_EQ(sink->writes().size(), 1u) << "two appends are one message";
    EXPECT_EQ(sink->writes()[0].text, "hello world\r\n");
    EXPECT_EQ(sink->writes()[0].length, 0xFFFFFFFFu);
    EXPECT_EQ(sink->balance(), 0);
  }
  EXPECT_EQ(api.calls(call::find_service_class), 2u) << "once per message";
  EXPECT_EQ(api.calls(call::create_service_instance), 4u) << "asks for index 2, which ends the walk";
}

TEST_F(console_output, failing_or_refusing_sinks_release_every_reference) {
  api.add_service(first);
  api.add_service(second);
  second.fail_write(0, std::make_exception_ptr(std::runtime_error("sink broke")));
  EXPECT_THROW(console::formatter().append_terminated("text\r\n"), std::runtime_error);
  EXPECT_EQ(first.writes().size(), 1u);
  api.set_creation(console_sink::class_id, creation::filled_but_refused);
  console::formatter().append_terminated("text\r\n");
  EXPECT_EQ(first.writes().size(), 1u);
  EXPECT_EQ(first.balance(), 0);
  EXPECT_EQ(second.balance(), 0);
}

TEST_F(console_output, single_service_lookup_reports_none_refusal_and_duplicates) {
  const guid& id = playback_callback_registry::class_id;
  player_callback_registry registry, another;
  service_ref out;
  EXPECT_THROW(get_single_service(id, out), exception_service_not_found);
  api.add_service(registry);
  api.set_creation(id, creation::refused);
  EXPECT_FALSE(get_single_service(id, out));
  EXPECT_FALSE(out);
  api.set_creation(id, creation::normal);
  EXPECT_TRUE(get_single_service(id, out));
  EXPECT_EQ(out.get(), static_cast<service_base*>(&registry));
  out.reset();
  api.add_service(another);
  EXPECT_THROW(get_single_service(id, out), exception_service_duplicated);
  EXPECT_FALSE(out);
  EXPECT_EQ(api.calls(call::create_service_instance), 2u) << "duplicates are counted, not created";
  EXPECT_EQ(registry.balance(), 0);
  EXPECT_EQ(another.balance(), 0);
}

}  // namespace
