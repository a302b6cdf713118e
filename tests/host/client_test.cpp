// The client object and the identity service, driven as the player drives them.
#include <gtest/gtest.h>

#include <string>

#include "host/console.h"
#include "host/module.h"
#include "host/services.h"
#include "tests/host_objects/host_objects.h"

namespace {

componentversion& identity() {
  service_ref out;
  factory_list_head->create_instance(&out);  // componentversion is found first
  return *out.as<componentversion>();
}

std::string reported_file_name() {
  test_host_string name("previous");
  identity().file_name(name);
  EXPECT_EQ(name.set_text_calls().size(), 1u);
  EXPECT_EQ(name.other_calls(), 0u) << "answers with set_text alone";
  return name.text();
}

TEST(component_client, entry_keeps_the_player_objects_and_returns_one_client) {
  test_host_api api, other;
  int instance;
  component_client* client = foobar2000_get_interface(&api, &instance);
  EXPECT_EQ(kept_host_api, &api);
  EXPECT_EQ(module_instance, &instance);
  EXPECT_EQ(foobar2000_get_interface(&other, nullptr), client);
  EXPECT_EQ(kept_host_api, &other);
  EXPECT_EQ(client->interface_version(), 76u);
  EXPECT_FALSE(client->debug_build());
  EXPECT_EQ(client->first_factory(), factory_list_head);
  kept_host_api = nullptr;
}

TEST(component_client, module_location_is_kept_exactly_and_replaced) {
  component_client& client = the_component_client();
  client.set_module_location("C:\\player\\components", "foo_vek_ipc.dll");
  EXPECT_STREQ(module_path.text(), "C:\\player\\components");
  EXPECT_EQ(module_path.storage_size(), sizeof("C:\\player\\components"));
  EXPECT_EQ(reported_file_name(), "foo_vek_ipc.dll");

  client.set_module_location("", "");
  EXPECT_EQ(module_file_name.storage_size(), 1u);
  EXPECT_EQ(reported_file_name(), "");

  client.set_module_location("D:\\x", "renamed.dll");
  EXPECT_EQ(reported_file_name(), "renamed.dll");
}

TEST(component_client, identity_texts_have_their_exact_lengths) {
  struct expectation {
    void (componentversion::*operation)(pfc::string_base&);
    const char* text;
  } const expectations[] = {
      {&componentversion::component_name, "VEK IPC"},
      {&componentversion::component_version, "0.3.0"},
      {&componentversion::about_text, "IPC plugin for XMPP PEP Events publisher @ ZEB IM"},
  };
  for (const auto& [operation, text] : expectations) {
    test_host_string out("something long that must be replaced entirely");
    (identity().*operation)(out);
    ASSERT_EQ(out.set_text_calls().size(), 1u);
    EXPECT_EQ(out.set_text_calls()[0].limit, std::string(text).size());
    EXPECT_EQ(out.text(), text);
  }
}

TEST(component_client, any_non_zero_ready_byte_switches_console_output_on) {
  test_host_api api;
  test_console_sink sink;
  api.add_service(sink);
  component_client* client = foobar2000_get_interface(&api, nullptr);

  for (std::uint8_t flag : {std::uint8_t{1}, std::uint8_t{2}, std::uint8_t{0x80}}) {
    client->set_services_ready(flag);
    console::formatter().append_terminated("on\r\n");
  }
  client->set_services_ready(0);
  console::formatter().append_terminated("off\r\n");
  EXPECT_EQ(sink.writes().size(), 3u);
  kept_host_api = nullptr;
}

}  // namespace
