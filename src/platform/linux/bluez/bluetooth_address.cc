#include "platform/linux/bluez/bluetooth_address.h"

#include <charconv>

namespace harlo::platform {

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

}  // namespace harlo::platform
