#include "platform/linux/bluez/channel_choice.h"

#include <charconv>

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

std::optional<BluetoothAddress> parseBluetoothAddress(std::string_view text) {
  constexpr std::size_t length = 17;  // six pairs of digits, five colons
  if (text.size() != length) return std::nullopt;
  BluetoothAddress address{};
  for (std::size_t i = 0; i < address.size(); ++i) {
    const std::size_t at = 3 * i;
    if (i > 0 && text[at - 1] != ':') return std::nullopt;
    const char* first = text.data() + at;
    std::uint8_t byte = 0;
    const auto [end, error] = std::from_chars(first, first + 2, byte, 16);
    if (error != std::errc() || end != first + 2) return std::nullopt;
    address[address.size() - 1 - i] = byte;
  }
  return address;
}

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
