// 128-bit UUIDs as people write them and as SDP carries them: the
// companion service's, its two GATT characteristics', and the 16-bit UUIDs of
// Bluetooth's own types in their 128-bit form.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace harlo {

// The 16 bytes of a UUID, most significant first: the order in which it is
// written, sent over SDP and taken by BlueZ's sdp_uuid128_create(). ATT
// carries the same bytes in the reverse order (att_pdu.h turns them round).
using ServiceUuid = std::array<std::uint8_t, 16>;

namespace detail {

constexpr int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace detail

// Parses 36 characters: 32 hexadecimal digits of either case in groups of
// 8, 4, 4, 4 and 12, separated by hyphens. Any other form (no hyphens,
// braces, a short UUID such as "1101", spaces) gives nothing.
constexpr std::optional<ServiceUuid> parseServiceUuid(std::string_view text) {
  if (text.size() != 36) return std::nullopt;
  ServiceUuid uuid{};
  std::size_t byte = 0;
  for (std::size_t at = 0; at < text.size();) {
    if (at == 8 || at == 13 || at == 18 || at == 23) {
      if (text[at] != '-') return std::nullopt;
      ++at;
      continue;
    }
    const int high = detail::hexValue(text[at]);
    const int low = detail::hexValue(text[at + 1]);
    if (high < 0 || low < 0) return std::nullopt;
    uuid[byte++] = static_cast<std::uint8_t>(high << 4 | low);
    at += 2;
  }
  return uuid;
}

// The UUID in the form above, in lower case.
std::string formatServiceUuid(const ServiceUuid& uuid);

// A 16-bit UUID assigned by the Bluetooth SIG (0x2902, 0x1101) as the 128-bit
// UUID it stands for: 0000xxxx-0000-1000-8000-00805f9b34fb.
constexpr ServiceUuid shortUuid(std::uint16_t value) {
  ServiceUuid uuid = *parseServiceUuid("00000000-0000-1000-8000-00805f9b34fb");
  uuid[2] = static_cast<std::uint8_t>(value >> 8);
  uuid[3] = static_cast<std::uint8_t>(value & 0xFF);
  return uuid;
}

// The helper's service, the one a client looks up unless told otherwise. The
// RFCOMM service's SDP record and the GATT primary service carry the same
// UUID. Clients build these in; they are fixed facts of the wire, kept here
// rather than taken from the helper's code so that the tool checks the
// helper against what clients know.
inline constexpr ServiceUuid companionServiceUuid =
    *parseServiceUuid("d53f4e4c-6c17-4d8b-a1c7-4a7a3f6d9a10");

// The GATT service's characteristics. "To helper" takes the client's bytes
// (write, write without response); "from helper" notifies the helper's.
inline constexpr ServiceUuid toHelperCharacteristicUuid =
    *parseServiceUuid("d53f4e4d-6c17-4d8b-a1c7-4a7a3f6d9a10");
inline constexpr ServiceUuid fromHelperCharacteristicUuid =
    *parseServiceUuid("d53f4e4e-6c17-4d8b-a1c7-4a7a3f6d9a10");

}  // namespace harlo
