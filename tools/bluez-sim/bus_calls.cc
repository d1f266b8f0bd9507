#include "bus_calls.h"

namespace harlo::bluez_sim {

int sendWithoutReply(sd_bus* bus, const std::string& destination, const std::string& path,
                     const char* interface, const char* member) {
  sd_bus_message* call = nullptr;
  int r = sd_bus_message_new_method_call(bus, &call, destination.c_str(), path.c_str(), interface,
                                         member);
  if (r >= 0) r = sd_bus_message_set_expect_reply(call, 0);
  if (r >= 0) r = sd_bus_send(bus, call, nullptr);
  sd_bus_message_unref(call);
  return r;
}

int appendLinkOptions(sd_bus_message* m, const std::string& device, std::uint16_t mtu) {
  return sd_bus_message_append(m, "a{sv}", 3, "device", "o", device.c_str(), "link", "s", "LE",
                               "mtu", "q", mtu);
}

std::string errorNameOf(sd_bus_message* reply) {
  const sd_bus_error* error = sd_bus_message_get_error(reply);
  return error != nullptr && error->name != nullptr ? error->name : "";
}

std::string errorMessageOf(sd_bus_message* reply) {
  const sd_bus_error* error = sd_bus_message_get_error(reply);
  return error != nullptr && error->message != nullptr ? error->message : "";
}

}  // namespace harlo::bluez_sim
