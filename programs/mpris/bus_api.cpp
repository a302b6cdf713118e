#include "mpris/bus_api.h"

namespace mpris::bus {

#if VEK_SDBUS_MAJOR == 1

std::unique_ptr<sdbus::IObject> create_object(sdbus::IConnection& connection, const std::string& path) {
  return sdbus::createObject(connection, path);
}

void request_name(sdbus::IConnection& connection, const std::string& name) { connection.requestName(name); }

void release_name(sdbus::IConnection& connection, const std::string& name) { connection.releaseName(name); }

bool process_pending(sdbus::IConnection& connection) { return connection.processPendingRequest(); }

wait_set next_wait(const sdbus::IConnection& connection) {
  const auto data = connection.getEventLoopPollData();
  return {{{data.fd, data.events, 0}, {-1, 0, 0}}, data.getPollTimeout()};
}

sdbus::Error error(const std::string& name, const std::string& text) { return sdbus::Error(name, text); }

void emit_properties_changed(sdbus::IObject& object, const std::string& interface,
                             const std::vector<std::string>& properties) {
  object.emitPropertiesChangedSignal(interface, properties);
}

void add_interfaces(sdbus::IObject& object, std::vector<interface_table> tables) {
  for (const auto& table : tables) {
    for (const auto& add_member : table.members_) add_member(object);
  }
  object.finishRegistration();
}

#else

std::unique_ptr<sdbus::IObject> create_object(sdbus::IConnection& connection, const std::string& path) {
  return sdbus::createObject(connection, sdbus::ObjectPath(path));
}

void request_name(sdbus::IConnection& connection, const std::string& name) {
  connection.requestName(sdbus::ServiceName(name));
}

void release_name(sdbus::IConnection& connection, const std::string& name) {
  connection.releaseName(sdbus::ServiceName(name));
}

bool process_pending(sdbus::IConnection& connection) { return connection.processPendingEvent(); }

wait_set next_wait(const sdbus::IConnection& connection) {
  const auto data = connection.getEventLoopPollData();
  return {{{data.fd, data.events, 0}, {data.eventFd, POLLIN, 0}}, data.getPollTimeout()};
}

sdbus::Error error(const std::string& name, const std::string& text) {
  return sdbus::Error(sdbus::Error::Name(name), text);
}

void emit_properties_changed(sdbus::IObject& object, const std::string& interface,
                             const std::vector<std::string>& properties) {
  object.emitPropertiesChangedSignal(sdbus::InterfaceName(interface),
                                     std::vector<sdbus::PropertyName>(properties.begin(), properties.end()));
}

void add_interfaces(sdbus::IObject& object, std::vector<interface_table> tables) {
  for (auto& table : tables) object.addVTable(sdbus::InterfaceName(table.interface_), std::move(table.members_));
}

#endif

}  // namespace mpris::bus
