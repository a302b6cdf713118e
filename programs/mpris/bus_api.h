// The calls into sdbus-c++ whose form changed between its major versions 1
// and 2, in one form for the rest of vek-mpris. VEK_SDBUS_MAJOR (1 or 2, set
// by the build from the installed version) picks the calls; nothing else in
// vek-mpris knows which version it has.
#pragma once

#include <poll.h>
#include <sdbus-c++/sdbus-c++.h>

#include <memory>
#include <string>
#include <utility>
#include <vector>

#if VEK_SDBUS_MAJOR == 1
#include <functional>
#elif VEK_SDBUS_MAJOR != 2
#error "VEK_SDBUS_MAJOR must be the major version of sdbus-c++: 1 or 2"
#endif

namespace mpris::bus {

std::unique_ptr<sdbus::IObject> create_object(sdbus::IConnection& connection, const std::string& path);

void request_name(sdbus::IConnection& connection, const std::string& name);
void release_name(sdbus::IConnection& connection, const std::string& name);

// Handles one thing that waits on the connection: false when nothing did.
bool process_pending(sdbus::IConnection& connection);

// What to wait on, with poll(2), before process_pending has work again: with
// 2.x an event descriptor beside the bus socket, which tells of messages the
// library read and queued itself (those that came while it waited for the
// reply to a name request); with 1.x the second entry is -1, which poll skips.
struct wait_set {
  pollfd descriptors[2];
  int timeout_ms;
};
wait_set next_wait(const sdbus::IConnection& connection);

// What a callback throws to be answered with the D-Bus error `name`.
sdbus::Error error(const std::string& name, const std::string& text);

void emit_properties_changed(sdbus::IObject& object, const std::string& interface,
                             const std::vector<std::string>& properties);

// The members of one interface, gathered and then added to an object with
// add_interfaces. Callbacks take the forms sdbus-c++'s implementedAs,
// withGetter and withSetter take.
class interface_table {
 public:
  explicit interface_table(std::string interface) : interface_(std::move(interface)) {}

  template <typename Callback>
  interface_table& method(const std::string& name, std::vector<std::string> input_names, Callback callback);
  template <typename Callback>
  interface_table& method(const std::string& name, Callback callback) {
    return method(name, {}, std::move(callback));
  }

  template <typename... Parameters>
  interface_table& signal(const std::string& name, std::vector<std::string> parameter_names);

  template <typename Getter>
  interface_table& property(const std::string& name, sdbus::Flags::PropertyUpdateBehaviorFlags update, Getter getter);
  template <typename Getter>
  interface_table& property(const std::string& name, Getter getter) {
    return property(name, sdbus::Flags::EMITS_CHANGE_SIGNAL, std::move(getter));
  }

  template <typename Getter, typename Setter>
  interface_table& writable_property(const std::string& name, Getter getter, Setter setter);

 private:
  friend void add_interfaces(sdbus::IObject& object, std::vector<interface_table> tables);

  std::string interface_;
#if VEK_SDBUS_MAJOR == 1
  // 1.x registers a member from a temporary that must be told its interface
  // on the object itself; each member is kept as that call, made when added.
  std::vector<std::function<void(sdbus::IObject&)>> members_;
#else
  std::vector<sdbus::VTableItem> members_;
#endif
};

// Puts the interfaces on `object`, which answers them from then on.
void add_interfaces(sdbus::IObject& object, std::vector<interface_table> tables);

#if VEK_SDBUS_MAJOR == 1

template <typename Callback>
interface_table& interface_table::method(const std::string& name, std::vector<std::string> input_names,
                                         Callback callback) {
  members_.push_back([=, interface = interface_](sdbus::IObject& object) {
    object.registerMethod(name).onInterface(interface).withInputParamNames(input_names).implementedAs(callback);
  });
  return *this;
}

template <typename... Parameters>
interface_table& interface_table::signal(const std::string& name, std::vector<std::string> parameter_names) {
  members_.push_back([=, interface = interface_](sdbus::IObject& object) {
    object.registerSignal(name).onInterface(interface).withParameters<Parameters...>(parameter_names);
  });
  return *this;
}

template <typename Getter>
interface_table& interface_table::property(const std::string& name, sdbus::Flags::PropertyUpdateBehaviorFlags update,
                                           Getter getter) {
  members_.push_back([=, interface = interface_](sdbus::IObject& object) {
    object.registerProperty(name).onInterface(interface).withGetter(getter).withUpdateBehavior(update);
  });
  return *this;
}

template <typename Getter, typename Setter>
interface_table& interface_table::writable_property(const std::string& name, Getter getter, Setter setter) {
  members_.push_back([=, interface = interface_](sdbus::IObject& object) {
    object.registerProperty(name).onInterface(interface).withGetter(getter).withSetter(setter);
  });
  return *this;
}

#else

template <typename Callback>
interface_table& interface_table::method(const std::string& name, std::vector<std::string> input_names,
                                         Callback callback) {
  members_.push_back(sdbus::registerMethod(sdbus::MethodName(name))
                         .withInputParamNames(std::move(input_names))
                         .implementedAs(std::move(callback)));
  return *this;
}

template <typename... Parameters>
interface_table& interface_table::signal(const std::string& name, std::vector<std::string> parameter_names) {
  members_.push_back(
      sdbus::registerSignal(sdbus::SignalName(name)).withParameters<Parameters...>(std::move(parameter_names)));
  return *this;
}

template <typename Getter>
interface_table& interface_table::property(const std::string& name, sdbus::Flags::PropertyUpdateBehaviorFlags update,
                                           Getter getter) {
  members_.push_back(
      sdbus::registerProperty(sdbus::PropertyName(name)).withGetter(std::move(getter)).withUpdateBehavior(update));
  return *this;
}

template <typename Getter, typename Setter>
interface_table& interface_table::writable_property(const std::string& name, Getter getter, Setter setter) {
  members_.push_back(
      sdbus::registerProperty(sdbus::PropertyName(name)).withGetter(std::move(getter)).withSetter(std::move(setter)));
  return *this;
}

#endif

}  // namespace mpris::bus
