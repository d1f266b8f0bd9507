#include "platform/linux/bluez/channel_choice.h"

namespace harlo::platform {
namespace {

// What the channel is across all the adapters: taken as soon as one holds
// it, unavailable as soon as a check cannot run, free otherwise.
ChannelState onEvery(std::span<const BluetoothAddress> adapters, std::uint8_t channel,
                     const ChannelCheck& check) {
  for (const BluetoothAddress& adapter : adapters) {
    const ChannelState state = check(adapter, channel);
    if (state != ChannelState::free) return state;
  }
  return ChannelState::free;
}

}  // namespace

std::optional<std::uint8_t> chooseRfcommChannel(std::uint8_t preferred,
                                                std::span<const BluetoothAddress> adapters,
                                                const ChannelCheck& check) {
  const ChannelState wanted = onEvery(adapters, preferred, check);
  if (wanted != ChannelState::taken) return preferred;
  for (unsigned channel = lowestRfcommChannel; channel <= highestRfcommChannel; ++channel) {
    if (channel == preferred) continue;
    const ChannelState state = onEvery(adapters, static_cast<std::uint8_t>(channel), check);
    if (state == ChannelState::unavailable) return preferred;
    if (state == ChannelState::free) return static_cast<std::uint8_t>(channel);
  }
  return std::nullopt;
}

}  // namespace harlo::platform
