#include "bluetooth_address.h"

#include <cstddef>

namespace harlo {
namespace {

std::optional<std::uint8_t> hexDigit(char c) {
  if (c >= '0' && c <= '9') return static_cast<std::uint8_t>(c - '0');
  if (c >= 'a' && c <= 'f') return static_cast<std::uint8_t>(c - 'a' + 10);
  if (c >= 'A' && c <= 'F') return static_cast<std::uint8_t>(c - 'A' + 10);
  return std::nullopt;
}

}  // namespace

std::optional<BluetoothAddress> parseBluetoothAddress(std::string_view text) {
  // "XX:" five times and a final "XX".
  if (text.size() != 17) return std::nullopt;
  BluetoothAddress address{};
  for (std::size_t group = 0; group < 6; ++group) {
    const std::size_t at = group * 3;
    if (group < 5 && text[at + 2] != ':') return std::nullopt;
    auto high = hexDigit(text[at]);
    auto low = hexDigit(text[at + 1]);
    if (!high || !low) return std::nullopt;
    address[5 - group] = static_cast<std::uint8_t>(*high << 4 | *low);
  }
  return address;
}

std::string formatBluetoothAddress(const BluetoothAddress& address) {
  static constexpr char digits[] = "0123456789ABCDEF";
  std::string text;
  for (std::size_t group = 0; group < 6; ++group) {
    const std::uint8_t byte = address[5 - group];
    if (group > 0) text += ':';
    text += digits[byte >> 4];
    text += digits[byte & 0x0F];
  }
  return text;
}

}  // namespace harlo
