// Error paths of start, which cannot unwind out of the shipped module into a player.
#include <gtest/gtest.h>

#include <stdexcept>

#include "harness/player_fakes.h"
#include "host/module.h"
#include "host/services.h"
#include "platform/simulation.h"
#include "publisher/ipc_window.h"
#include "publisher/playback_handler.h"
#include "wire/format.h"

namespace {

class publisher : public ::testing::Test {
 protected:
  publisher() {
    platform::simulation::reset();
    foobar2000_get_interface(&api, &module);
    services_ready = true;
    api.add_service(sink);
  }
  ~publisher() override {
    service.quit();
    services_ready = false;
    kept_host_api = nullptr;
    EXPECT_EQ(sink.balance(), 0);
    EXPECT_EQ(registry.balance(), 0);
    EXPECT_EQ(second.balance(), 0);
  }

  int module = 0;
  scripted_host_api api;
  player_console_sink sink;
  player_callback_registry registry, second;
  service_impl_single_t<initquit_tutorial1> service;
};

TEST_F(publisher, a_registry_that_hands_out_nothing_counts_as_missing) {
  api.add_service(registry);
  api.set_creation(playback_callback_registry::class_id, scripted_host_api::creation::refused);
  service.start();
  EXPECT_TRUE(registry.registrations().empty());
  EXPECT_EQ(sink.writes().size(), 1u);
}

TEST_F(publisher, two_registries_fail_start_after_the_window_exists) {
  api.add_service(registry);
  api.add_service(second);
  Test_Class* before = playback_handler;
  EXPECT_THROW(service.start(), exception_service_duplicated);
  EXPECT_NE(platform::simulation::find_message_window(wire::window_class), nullptr) << "the window stays";
  EXPECT_TRUE(sink.writes().empty()) << "nothing is printed";
  EXPECT_EQ(playback_handler, before);
}

TEST_F(publisher, a_failing_console_lets_the_error_out_of_start) {
  api.add_service(registry);
  sink.fail_write(0, std::make_exception_ptr(std::runtime_error("console broke")));
  EXPECT_THROW(service.start(), std::runtime_error);
  EXPECT_EQ(registry.registrations().size(), 1u);
}

}  // namespace
