// UUIDs as bluetoothd reads them from an application (its bt_string_to_uuid).
// Pure; safe from any thread.
#pragma once

#include <optional>
#include <string>

namespace harlo::bluez_sim {

struct BluetoothUuid {
  std::string canonical;  // 36 lower-case characters
  unsigned bytes;         // 2, 4 or 16: its size in advertising data
};

// The UUID `text` stands for, or nothing if bluetoothd would not take it.
// Like bluetoothd it takes a 128-bit UUID (hyphens at offsets 8, 13, 18 and
// 23, hexadecimal groups), a 32-bit one (8 or 10 characters of hexadecimal,
// "0x" allowed) and a 16-bit one (4 or 6 characters, e.g. "180d" or
// "0x180d"); the short forms stand for their value on the Bluetooth base
// UUID, and so does a 128-bit UUID on that base, which bluetoothd then
// treats as a 16-bit one.
std::optional<BluetoothUuid> parseBluetoothUuid(const std::string& text);

// True for the GAP (0x1800) and GATT (0x1801) services, which bluetoothd
// serves itself and refuses from an application.
bool isCoreServiceUuid(const std::string& canonical);

}  // namespace harlo::bluez_sim
