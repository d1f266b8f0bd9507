#include "profile_endpoint.h"

#include <fcntl.h>

#include <cerrno>
#include <cstring>

#include "bluez-sim/dbus_options.h"

namespace harlo::test_support {

const sd_bus_vtable* ProfileEndpoint::vtable() {
  static const sd_bus_vtable table[] = {
      SD_BUS_VTABLE_START(0),
      SD_BUS_METHOD("Release", "", "", &ProfileEndpoint::onRelease,
                    SD_BUS_VTABLE_UNPRIVILEGED | SD_BUS_VTABLE_METHOD_NO_REPLY),
      SD_BUS_METHOD_WITH_NAMES("NewConnection", "oha{sv}",
                               SD_BUS_PARAM(device) SD_BUS_PARAM(fd) SD_BUS_PARAM(fd_properties),
                               "", , &ProfileEndpoint::onNewConnection, SD_BUS_VTABLE_UNPRIVILEGED),
      SD_BUS_VTABLE_END};
  return table;
}

Result<std::unique_ptr<ProfileEndpoint>, std::string> ProfileEndpoint::exportOn(BusClient& bus,
                                                                                std::string path) {
  std::unique_ptr<ProfileEndpoint> endpoint(new ProfileEndpoint(std::move(path)));
  int r = sd_bus_add_object_vtable(bus.native(), &endpoint->slot_, endpoint->path_.c_str(),
                                   "org.bluez.Profile1", vtable(), endpoint.get());
  if (r < 0) return fail("exporting " + endpoint->path_ + ": " + std::strerror(-r));
  return endpoint;
}

ProfileEndpoint::~ProfileEndpoint() { sd_bus_slot_unref(slot_); }

void ProfileEndpoint::refuseNewConnections(std::string name, std::string message) {
  refusalName_ = std::move(name);
  refusalMessage_ = std::move(message);
}

int ProfileEndpoint::onNewConnection(sd_bus_message* message, void* data, sd_bus_error*) {
  auto* self = static_cast<ProfileEndpoint*>(data);
  const char* device = nullptr;
  int fd = -1;
  int r = sd_bus_message_read(message, "oh", &device, &fd);
  if (r < 0) return r;
  auto properties = bluez_sim::readProfileOptions(message);
  if (!properties) return properties.error();
  // The fd belongs to the message; keep a duplicate.
  int copy = ::fcntl(fd, F_DUPFD_CLOEXEC, 3);
  if (copy < 0) return -errno;
  self->connections_.push_back(Connection{sd_bus_message_get_sender(message), device,
                                          UniqueFd(copy), std::move(properties.value())});
  if (!self->refusalName_.empty()) {
    return sd_bus_reply_method_errorf(message, self->refusalName_.c_str(), "%s",
                                      self->refusalMessage_.c_str());
  }
  return sd_bus_reply_method_return(message, "");
}

int ProfileEndpoint::onRelease(sd_bus_message*, void* data, sd_bus_error*) {
  ++static_cast<ProfileEndpoint*>(data)->releaseCalls_;
  return 0;
}

}  // namespace harlo::test_support
