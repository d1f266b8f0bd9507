// The channel check of channel_choice.h on this machine's Bluetooth sockets.
#pragma once

#include <cstdint>

#include "platform/linux/bluez/channel_choice.h"

namespace harlo::platform {

// Binds a new RFCOMM socket to `channel` on the adapter with address
// `adapter`, as bluetoothd binds a profile's server socket, and closes it:
// taken when the kernel answers EADDRINUSE, free on success or any other
// answer (nothing then shows the channel held). Unavailable when no RFCOMM
// socket can be made at all (EAFNOSUPPORT where the kernel has no Bluetooth,
// as in containers and on build machines; EPROTONOSUPPORT without RFCOMM):
// the caller then does without the check. Logs nothing. Any thread.
ChannelState probeRfcommChannel(const BluetoothAddress& adapter, std::uint8_t channel);

}  // namespace harlo::platform
