// A Bluetooth device address, as the kernel's sockets take it.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string_view>

namespace harlo::platform {

// A Bluetooth device address as the kernel takes it (bdaddr_t): the six
// bytes of "AA:BB:CC:DD:EE:FF" in reverse order, FF first.
using BluetoothAddress = std::array<std::uint8_t, 6>;

// The address written "AA:BB:CC:DD:EE:FF" (hex digits of either case), if
// `text` is exactly that.
std::optional<BluetoothAddress> parseBluetoothAddress(std::string_view text);

}  // namespace harlo::platform
