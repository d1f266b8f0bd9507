// DeviceTrust: what bluetoothd says of a device's bond and trust
// (org.bluez.Device1), and whether a client on it may use the service over
// Bluetooth Low Energy.
#pragma once

#include <systemd/sd-bus.h>

#include <optional>
#include <string>

#include "base/result.h"

namespace harlo::platform {

struct DeviceTrust {
  bool trusted = false;
  bool paired = false;
  std::optional<bool> bonded;  // absent before bluetoothd 5.64, which does not tell
};

// Reads the device's properties from the a{sv} at the message's read
// position (an answer to Properties.GetAll); properties it does not carry
// are false. Fails with a negative errno when the message holds no a{sv}
// there.
Result<DeviceTrust, int> readDeviceTrust(sd_bus_message* message);

// Why a client on the device may not use the service, or nothing when it
// may: the device must be bonded (paired, where bluetoothd does not tell of
// bonds), so that its link is encrypted with a key kept for it, and trusted,
// as the service over RFCOMM asks bluetoothd for authentication and
// authorization. `address` names the device in the text.
std::optional<std::string> refusalOf(const DeviceTrust& trust, const std::string& address);

}  // namespace harlo::platform
