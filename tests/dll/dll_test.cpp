// The shipped module, loaded as the player loads it and driven only through
// its export and table slots. Every reference it takes on a player object is
// released by the end of each case.
#include <gtest/gtest.h>

#include <cstring>

#include "component_host.h"

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

TEST_F(module_test, entry_returns_one_client_and_fixed_answers) {
  player_host_api other;
  EXPECT_EQ(component().enter(&other), client());
  for (int i = 0; i < 100; ++i) {
    EXPECT_EQ(raw::call<std::uint32_t>(client(), interface_version), 76u);
    EXPECT_FALSE(raw::call<bool>(client(), debug_build));
  }
}

TEST_F(module_test, client_slots_pop_exactly_their_arguments) {
  for (int i = 0; i < 50; ++i) {
    EXPECT_EQ(raw::stack_imbalance(client(), interface_version, raw::words()), 0);
    EXPECT_EQ(raw::stack_imbalance(client(), first_factory, raw::words()), 0);
    EXPECT_EQ(raw::stack_imbalance(client(), set_module_location, raw::words().ptr("C:\\p").ptr("f.dll")), 0);
    EXPECT_EQ(raw::stack_imbalance(client(), set_services_ready, raw::words().u32(0)), 0);
    EXPECT_EQ(raw::stack_imbalance(client(), debug_build, raw::words()), 0);
    player_abort_signal abort;
    player_writable_stream out;
    player_readable_stream in({});
    EXPECT_EQ(raw::stack_imbalance(client(), save_configuration, raw::words().ptr(&out).ptr(&abort)), 0);
    EXPECT_EQ(raw::stack_imbalance(client(), load_configuration, raw::words().ptr(static_cast<readable_stream*>(&in)).ptr(&abort)), 0);
  }
}

TEST_F(module_test, factory_list_is_componentversion_then_initquit) {
  const std::uint32_t* first = component().factory(0);
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(std::memcmp(reinterpret_cast<const void*>(first[2]), &componentversion_class, 16), 0);
  const std::uint32_t* second = component().factory(1);
  ASSERT_NE(second, nullptr);
  EXPECT_EQ(reinterpret_cast<const std::uint32_t*>(first[1]), second);
  EXPECT_EQ(std::memcmp(reinterpret_cast<const void*>(second[2]), &initquit_class, 16), 0);
  EXPECT_EQ(second[1], 0u);
  // The embedded service is the record's fourth word: its own table pointer.
  for (const std::uint32_t* record : {first, second}) {
    EXPECT_NE(record[3], 0u);
    EXPECT_NE(record[3], record[0]);
  }
}

TEST_F(module_test, create_instance_fills_the_reference_and_releases_the_old_one) {
  for (std::size_t position : {0u, 1u}) {
    auto* record = const_cast<std::uint32_t*>(component().factory(position));
    void* embedded = record + 3;
    void* held = nullptr;  // a service_ref as the player lays it out: one pointer
    EXPECT_EQ(raw::stack_imbalance(record, 0, raw::words().ptr(&held)), 0);
    EXPECT_EQ(held, embedded);

    player_console_sink other;
    other.add_reference();
    held = static_cast<service_base*>(&other);
    raw::call<void>(record, 0, &held);
    EXPECT_EQ(held, embedded);
    EXPECT_EQ(other.balance(), 0);

    raw::call<void>(record, 0, &held);  // holding it already
    EXPECT_EQ(held, embedded);
  }
}

TEST_F(module_test, static_services_count_nothing_and_answer_only_their_class) {
  for (const guid* class_id : {&componentversion_class, &initquit_class}) {
    void* service = component().service(*class_id);
    for (int i = 0; i < 20; ++i) {
      EXPECT_EQ(raw::call<std::int32_t>(service, 0), 1);  // release
      EXPECT_EQ(raw::call<std::int32_t>(service, 1), 1);  // add_reference
    }
    player_console_sink previous;
    previous.add_reference();
    void* held = static_cast<service_base*>(&previous);
    const guid* other_class = class_id == &initquit_class ? &componentversion_class : &initquit_class;
    EXPECT_FALSE(raw::call<bool>(service, 2, &held, other_class));
    EXPECT_EQ(held, static_cast<service_base*>(&previous));
    const guid console_class = console_sink::class_id;
    EXPECT_FALSE(raw::call<bool>(service, 2, &held, &console_class));
    EXPECT_EQ(raw::stack_imbalance(service, 2, raw::words().ptr(&held).ptr(class_id)), 0);
    EXPECT_EQ(held, service);
    EXPECT_EQ(previous.balance(), 0);
  }
}

TEST_F(module_test, identity_answers_with_one_set_text_of_the_exact_length) {
  void* identity = component().service(componentversion_class);
  auto ask = [&](unsigned slot) {
    player_host_string out("old text that must go");
    EXPECT_EQ(raw::stack_imbalance(identity, slot, raw::words().ptr(static_cast<pfc::string_base*>(&out))), 0);
    EXPECT_EQ(out.set_text_calls().size(), 1u);
    EXPECT_EQ(out.other_calls(), 0u);
    EXPECT_EQ(out.set_text_calls().back().limit, out.text().size());
    return out.text();
  };
  EXPECT_EQ(ask(4), "VEK IPC");
  EXPECT_EQ(ask(5), "0.3.0");
  EXPECT_EQ(ask(6), "IPC plugin for XMPP PEP Events publisher @ ZEB IM");

  raw::call<void>(client(), set_module_location, "C:\\Program Files\\player\\components", "foo_vek_ipc.dll");
  EXPECT_EQ(ask(3), "foo_vek_ipc.dll");
  raw::call<void>(client(), set_module_location, "", "");
  EXPECT_EQ(ask(3), "");
  raw::call<void>(client(), set_module_location, "D:\\", "foo_vek_ipc (2).dll");
  EXPECT_EQ(ask(3), "foo_vek_ipc (2).dll");
}

TEST_F(module_test, configuration_with_no_variables_writes_nothing_and_skips_every_record) {
  player_abort_signal abort;
  player_writable_stream out;
  raw::call<void>(client(), save_configuration, static_cast<writable_stream*>(&out), static_cast<abort_signal*>(&abort));
  EXPECT_TRUE(out.calls().empty());

  // Two records (data of 3 and of 0 bytes), then 5 stray bytes of a third GUID.
  std::vector<std::uint8_t> bytes = {0x33, 0x22, 0x11, 0x00, 0x55, 0x44, 0x77, 0x66, 0x88, 0x99, 0xAA, 0xBB,
                                     0xCC, 0xDD, 0xEE, 0xFF, 0x03, 0x00, 0x00, 0x00, 0x61, 0x62, 0x63};
  bytes.insert(bytes.end(), 16, 0x42);
  bytes.insert(bytes.end(), {0, 0, 0, 0, 1, 2, 3, 4, 5});
  player_readable_stream in(bytes);
  raw::call<void>(client(), load_configuration, static_cast<readable_stream*>(&in), static_cast<abort_signal*>(&abort));
  const std::vector<stream_call> expected = {
      {stream_operation::read_bytes, 16, &abort}, {stream_operation::read_exact, 4, &abort},
      {stream_operation::skip_exact, 3, &abort},  {stream_operation::read_bytes, 16, &abort},
      {stream_operation::read_exact, 4, &abort},  {stream_operation::skip_exact, 0, &abort},
      {stream_operation::read_bytes, 16, &abort},
  };
  EXPECT_EQ(in.calls(), expected);
  EXPECT_EQ(in.position(), bytes.size());
}

}  // namespace
