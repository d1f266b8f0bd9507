// Bluetooth device addresses as people write them and as the kernel wants
// them.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace harlo {

// A BD_ADDR in the kernel's byte order: least significant byte first, so the
// text "01:02:03:04:05:06" is stored as {06, 05, 04, 03, 02, 01}.
using BluetoothAddress = std::array<std::uint8_t, 6>;

// Parses six two-digit hexadecimal groups separated by colons, either case
// ("AA:bb:0C:..."). Anything else (wrong length, another separator, a sign,
// a missing digit) gives nothing.
std::optional<BluetoothAddress> parseBluetoothAddress(std::string_view text);

// The address as upper-case text, most significant byte first.
std::string formatBluetoothAddress(const BluetoothAddress& address);

}  // namespace harlo
