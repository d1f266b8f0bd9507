// How bluetoothd 5.66 turns an application's D-Bus error into the ATT error
// the remote device gets (gatt-database.c's dbus_error_to_att_ecode). Pure;
// safe from any thread.
#pragma once

#include <cstdint>
#include <string>

namespace harlo::bluez_sim {

inline constexpr std::uint8_t attUnlikely = 0x0e;
inline constexpr std::uint8_t attWriteNotPermitted = 0x03;

// org.bluez.Error.Failed gives the number its message holds when that is
// 0x80..0x9f (an application error), attUnlikely for another number, and
// 0x80 for a message that is no number; NotSupported 0x06, NotAuthorized
// 0x08, InvalidValueLength 0x0d, InvalidOffset 0x07, InProgress 0xfe,
// NotPermitted `permissionError`; any other name attUnlikely.
std::uint8_t attErrorOf(const std::string& name, const std::string& message,
                        std::uint8_t permissionError);

}  // namespace harlo::bluez_sim
