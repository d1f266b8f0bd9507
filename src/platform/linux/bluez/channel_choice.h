// Which RFCOMM channel to register the profile on.
//
// bluetoothd listens on the profile's Channel on each adapter it has, bound
// to that adapter's address; where another socket already holds the channel
// there, bluetoothd logs an error and leaves that adapter without the
// service, while the registration itself succeeds. So the channel is checked
// first on every adapter, the way bluetoothd will bind it, and a taken one is
// exchanged for one that is free everywhere.
//
// Pure functions; safe from any thread.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <span>

#include "platform/linux/bluez/bluetooth_address.h"

namespace harlo::platform {

// What a check of one channel on one adapter found.
enum class ChannelState {
  free,
  taken,        // another socket holds it there
  unavailable,  // this system cannot check at all (no Bluetooth sockets)
};

using ChannelCheck =
    std::function<ChannelState(const BluetoothAddress& adapter, std::uint8_t channel)>;

// The RFCOMM server channels a profile may use.
inline constexpr std::uint8_t lowestRfcommChannel = 1;
inline constexpr std::uint8_t highestRfcommChannel = 30;

// `preferred` when it is free on every adapter in `adapters` (or there are
// none); otherwise the lowest channel from lowestRfcommChannel to
// highestRfcommChannel, `preferred` excepted, that is free on all of them.
// As soon as `check` answers unavailable nothing more is checked and the
// answer is `preferred`. Nothing when every channel is taken somewhere.
std::optional<std::uint8_t> chooseRfcommChannel(std::uint8_t preferred,
                                                std::span<const BluetoothAddress> adapters,
                                                const ChannelCheck& check);

}  // namespace harlo::platform
