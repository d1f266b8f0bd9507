#include "platform/linux/bluez/device_trust.h"

#include <string_view>

#include "platform/linux/systemd_library.h"

namespace harlo::platform {
namespace {

// Reads a boolean option's value; one of another type counts as false.
int readBoolean(sd_bus_message* message, bool& value) {
  char kind = 0;
  const char* contents = nullptr;
  int r = systemd().sd_bus_message_peek_type(message, &kind, &contents);
  if (r < 0) return r;
  if (contents == nullptr || std::string_view(contents) != "b") {
    value = false;
    return systemd().sd_bus_message_skip(message, "v");
  }
  int flag = 0;
  if ((r = systemd().sd_bus_message_read(message, "v", "b", &flag)) < 0) return r;
  value = flag != 0;
  return r;
}

}  // namespace

Result<DeviceTrust, int> readDeviceTrust(sd_bus_message* message) {
  DeviceTrust trust;
  int r = systemd().sd_bus_message_enter_container(message, 'a', "{sv}");
  if (r < 0) return fail(r);
  while ((r = systemd().sd_bus_message_enter_container(message, 'e', "sv")) > 0) {
    const char* key = nullptr;
    if ((r = systemd().sd_bus_message_read(message, "s", &key)) < 0) return fail(r);
    const std::string_view name(key);
    if (name == "Trusted") {
      r = readBoolean(message, trust.trusted);
    } else if (name == "Paired") {
      r = readBoolean(message, trust.paired);
    } else if (name == "Bonded") {
      bool bonded = false;
      r = readBoolean(message, bonded);
      trust.bonded = bonded;
    } else {
      r = systemd().sd_bus_message_skip(message, "v");
    }
    if (r < 0) return fail(r);
    if ((r = systemd().sd_bus_message_exit_container(message)) < 0) return fail(r);
  }
  if (r < 0) return fail(r);
  return trust;
}

std::optional<std::string> refusalOf(const DeviceTrust& trust, const std::string& address) {
  if (!trust.bonded.value_or(trust.paired)) {
    return "it is not bonded (pair it with this machine first)";
  }
  if (!trust.trusted) return "it is not trusted (bluetoothctl trust " + address + ")";
  return std::nullopt;
}

}  // namespace harlo::platform
