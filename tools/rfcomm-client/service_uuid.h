// 128-bit service UUIDs as people write them and as SDP carries them.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "rfcomm/companion_service.h"

namespace harlo {

// The 16 bytes of a UUID, most significant first: the order in which it is
// written, sent over SDP and taken by BlueZ's sdp_uuid128_create().
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

// The helper's service, the one a client looks up unless told otherwise.
inline constexpr ServiceUuid companionServiceUuid = *parseServiceUuid(companionServiceUUIDString);

}  // namespace harlo
