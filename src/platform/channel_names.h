// ChannelNames: how the parent's reports name one client channel, as its
// transport words it. The bridge puts these texts in its reports as they are,
// so that a channel of any transport reaches the parent under the same
// events, and knows nothing of the transport itself.
#pragma once

#include <cstdint>
#include <string>

namespace harlo::platform {

struct ChannelNames {
  std::string connected;     // the detail of the channel's "client-connected"
  std::string disconnected;  // the detail of its "client-disconnected"
  // What its write reports name: "wrote N bytes to <writes>" and
  // "failed to write to <writes>: status=S".
  std::string writes;

  bool operator==(const ChannelNames&) const = default;
};

// The names of RFCOMM channel `channel` of the service published on
// `serviceChannel` (the same number wherever a client's channel reports the
// one it came through): "Incoming RFCOMM client connected on channel N" and
// "RFCOMM client disconnected from channel N" with the channel's own number,
// and its writes reported to "RFCOMM channel S", the service's.
inline ChannelNames rfcommChannelNames(std::uint8_t channel, std::uint8_t serviceChannel) {
  const std::string number = std::to_string(unsigned{channel});
  return ChannelNames{.connected = "Incoming RFCOMM client connected on channel " + number,
                      .disconnected = "RFCOMM client disconnected from channel " + number,
                      .writes = "RFCOMM channel " + std::to_string(unsigned{serviceChannel})};
}

// The names of a client over Bluetooth Low Energy: "Incoming BLE client
// connected", "BLE client disconnected", and its writes reported to "BLE
// client".
inline ChannelNames lowEnergyChannelNames() {
  return ChannelNames{.connected = "Incoming BLE client connected",
                      .disconnected = "BLE client disconnected",
                      .writes = "BLE client"};
}

}  // namespace harlo::platform
