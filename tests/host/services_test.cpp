// The service model as the player sees it: static services, factory records
// and counted heap objects.
#include <gtest/gtest.h>

#include "host/services.h"
#include "publisher/identity.h"
#include "publisher/ipc_window.h"
#include "tests/host_objects/host_objects.h"

namespace {

service_impl_single_t<componentversion_myimpl> identity_service;

TEST(static_service, counting_does_nothing_however_often_it_is_called) {
  for (int i = 0; i < 1000; ++i) {
    EXPECT_EQ(identity_service.add_reference(), 1);
    EXPECT_EQ(identity_service.release(), 1);
    EXPECT_EQ(identity_service.release(), 1);
  }
  test_host_string name;
  identity_service.component_name(name);  // still usable
  EXPECT_EQ(name.text(), "VEK IPC");
}

TEST(static_service, query_answers_only_for_its_own_interface_class) {
  test_console_sink previous;
  service_ref out;
  previous.add_reference();
  out.attach(&previous);

  const guid other = {0x10BB3EBD, 0xDDF7, 0x4975, {0xA3, 0xCC, 0x23, 0x08, 0x48, 0x29, 0x45, 0x3F}};
  EXPECT_FALSE(identity_service.query_by_guid(&out, &other));
  EXPECT_FALSE(identity_service.query_by_guid(&out, &initquit::class_id));
  EXPECT_EQ(out.get(), &previous) << "a refused query leaves the holder alone";
  EXPECT_EQ(previous.balance(), 1);

  EXPECT_TRUE(identity_service.query_by_guid(&out, &componentversion::class_id));
  EXPECT_EQ(out.get(), static_cast<service_base*>(&identity_service));
  EXPECT_EQ(previous.balance(), 0) << "the reference the holder had is released";
}

TEST(factory_list, holds_componentversion_then_initquit) {
  ASSERT_NE(factory_list_head, nullptr);
  EXPECT_EQ(*factory_list_head->class_guid, componentversion::class_id);
  service_factory_base* second = factory_list_head->next_factory;
  ASSERT_NE(second, nullptr);
  EXPECT_EQ(*second->class_guid, initquit::class_id);
  EXPECT_EQ(second->next_factory, nullptr);
}

TEST(factory_list, create_instance_releases_what_the_holder_had_and_hands_out_the_singleton) {
  for (service_factory_base* factory = factory_list_head; factory; factory = factory->next_factory) {
    service_ref out;
    factory->create_instance(&out);
    ASSERT_TRUE(out);
    service_base* singleton = out.get();

    test_console_sink other;
    other.add_reference();
    out.attach(&other);
    factory->create_instance(&out);
    EXPECT_EQ(out.get(), singleton);
    EXPECT_EQ(other.balance(), 0);

    factory->create_instance(&out);  // already holding it
    EXPECT_EQ(out.get(), singleton);

    service_ref queried;
    EXPECT_TRUE(singleton->query_by_guid(&queried, factory->class_guid));
    EXPECT_EQ(queried.get(), singleton);
  }
}

class counted_node final : public reference_counted_object {
 public:
  explicit counted_node(int& destroyed) : destroyed_(destroyed) {}
  void destroy(std::uint32_t free_memory) override {
    ++destroyed_;
    EXPECT_EQ(free_memory, 1u);
    delete this;
  }

 private:
  int& destroyed_;
};

TEST(reference_counted_object, lives_until_the_last_holder_releases_it) {
  int destroyed = 0;
  auto* node = new counted_node(destroyed);
  node->add_reference();
  node->add_reference();
  EXPECT_EQ(node->release(), 1);
  EXPECT_EQ(destroyed, 0);
  EXPECT_EQ(node->release(), 0);
  EXPECT_EQ(destroyed, 1);  // and freed: the sanitizer build reports a leak otherwise
}

}  // namespace
