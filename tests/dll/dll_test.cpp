// The shipped module, loaded as the player loads it and driven only through its
// export and table slots. Every reference it takes on a player object is released.
#include <gtest/gtest.h>

#include <cstring>
#include <tuple>

#include "harness/component_host.h"
#include "harness/config_record.h"

namespace {

loaded_component& component() {
  static loaded_component instance;
  return instance;
}

class module_test : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_NE(component().enter(&api), nullptr); }
  void* client() { return component().client(); }

  player_host_api api;
};

TEST_F(module_test, client_gives_fixed_answers_and_every_slot_pops_exactly_its_arguments) {
  player_host_api other;
  EXPECT_EQ(component().enter(&other), client()) << "one client";
  EXPECT_EQ(raw::call<std::uint32_t>(client(), interface_version), 76u);
  EXPECT_FALSE(raw::call<bool>(client(), debug_build));
  player_abort_signal abort;
  player_writable_stream out;
  player_readable_stream in({});
  const std::pair<client_slot, raw::words> calls[] = {
      {interface_version, {}},
      {first_factory, {}},
      {set_module_location, raw::words().ptr("C:\\p").ptr("f.dll")},
      {set_services_ready, raw::words().u32(0)},
      {debug_build, {}},
      {save_configuration, raw::words().ptr(static_cast<writable_stream*>(&out)).ptr(&abort)},
      {load_configuration, raw::words().ptr(static_cast<readable_stream*>(&in)).ptr(&abort)},
  };
  for (const auto& [slot, words] : calls) EXPECT_EQ(raw::stack_imbalance(client(), slot, words), 0) << "slot " << slot;
}

// The list is componentversion, then initquit. Each record is table,
// next_factory, class_guid, then the embedded static service.
TEST_F(module_test, factory_records_hand_out_their_static_service) {
  EXPECT_EQ(component().factory(1)[1], 0u);
  const guid console_class = console_sink::class_id;
  for (const auto& [position, class_id, other_class] :
       {std::tuple{0u, &componentversion_class, &initquit_class}, {1u, &initquit_class, &componentversion_class}}) {
    auto* record = const_cast<std::uint32_t*>(component().factory(position));
    void* service = record + 3;
    EXPECT_EQ(std::memcmp(reinterpret_cast<const void*>(record[2]), class_id, 16), 0);
    EXPECT_NE(record[3], record[0]);
    void* held = nullptr;  // a service_ref as the player lays it out: one pointer
    EXPECT_EQ(raw::stack_imbalance(record, 0, raw::words().ptr(&held)), 0);  // create_instance
    EXPECT_EQ(held, service);
    raw::call<void>(record, 0, &held);  // holding it already
    EXPECT_EQ(held, service);
    for (unsigned slot : {0u, 1u, 0u, 1u}) EXPECT_EQ(raw::call<std::int32_t>(service, slot), 1);  // counts nothing

    player_console_sink previous;
    previous.add_reference();
    held = static_cast<service_base*>(&previous);
    for (const guid* other : {other_class, &console_class}) EXPECT_FALSE(raw::call<bool>(service, 2, &held, other));
    EXPECT_EQ(held, static_cast<service_base*>(&previous));
    EXPECT_EQ(raw::stack_imbalance(service, 2, raw::words().ptr(&held).ptr(class_id)), 0);  // query_by_guid
    EXPECT_EQ(held, service);
    EXPECT_EQ(previous.balance(), 0);
    held = static_cast<service_base*>(&previous);
    previous.add_reference();
    raw::call<void>(record, 0, &held);
    EXPECT_EQ(held, service);
    EXPECT_EQ(previous.balance(), 0);
  }
}

TEST_F(module_test, identity_answers_with_one_set_text_of_the_exact_length) {
  void* identity = component().service(componentversion_class);
  auto ask = [&](unsigned slot) {
    recording_host_string out("old text that must go");
    EXPECT_EQ(raw::stack_imbalance(identity, slot, raw::words().ptr(static_cast<pfc::string_base*>(&out))), 0);
    EXPECT_EQ(out.set_text_calls().size(), 1u);
    EXPECT_EQ(out.other_calls(), 0u);
    EXPECT_EQ(out.set_text_calls().back().limit, out.text().size());
    return out.text();
  };
  EXPECT_EQ(ask(4), "VEK IPC");
  EXPECT_EQ(ask(5), "0.3.0");
  EXPECT_EQ(ask(6), "IPC plugin for XMPP PEP Events publisher @ ZEB IM");
  for (const char* file : {"foo_vek_ipc.dll", "", "foo_vek_ipc (2).dll"}) {
    raw::call<void>(client(), set_module_location, *file ? "C:\\Program Files\\player" : "", file);
    EXPECT_EQ(ask(3), file);
  }
  const char* const none = nullptr;  // null texts count as empty
  raw::call<void>(client(), set_module_location, none, none);
  EXPECT_EQ(ask(3), "");
}

TEST_F(module_test, configuration_with_no_variables_writes_nothing_and_skips_every_record) {
  player_abort_signal abort;
  player_writable_stream out;
  raw::call<void>(client(), save_configuration, static_cast<writable_stream*>(&out), &abort);
  EXPECT_TRUE(out.calls().empty());
  // Two records (data of 3 and of 0 bytes) of variables nobody declared, then 5 stray bytes of a third GUID.
  constexpr guid unknown_a = {0x11111111, 0x1111, 0x1111, {0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11}};
  constexpr guid unknown_b = {0x42424242, 0x4242, 0x4242, {0x42, 0x42, 0x42, 0x42, 0x42, 0x42, 0x42, 0x42}};
  const std::string bytes =
      config_record::encode(unknown_a, "abc") + config_record::encode(unknown_b, "") + "\x01\x02\x03\x04\x05";
  player_readable_stream in({bytes.begin(), bytes.end()});
  raw::call<void>(client(), load_configuration, static_cast<readable_stream*>(&in), &abort);
  using enum stream_operation;
  const std::vector<stream_call> expected = {{read_bytes, 16, &abort}, {read_exact, 4, &abort}, {skip_exact, 3, &abort},
                                             {read_bytes, 16, &abort}, {read_exact, 4, &abort}, {skip_exact, 0, &abort},
                                             {read_bytes, 16, &abort}};
  EXPECT_EQ(in.calls(), expected);
  EXPECT_EQ(in.position(), bytes.size());
}

}  // namespace
