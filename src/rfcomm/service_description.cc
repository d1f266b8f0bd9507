#include "rfcomm/service_description.h"

#include <string>

namespace harlo {
namespace {

std::optional<std::uint8_t> hexDigit(char c) {
  if (c >= '0' && c <= '9') return static_cast<std::uint8_t>(c - '0');
  if (c >= 'a' && c <= 'f') return static_cast<std::uint8_t>(c - 'a' + 10);
  if (c >= 'A' && c <= 'F') return static_cast<std::uint8_t>(c - 'A' + 10);
  return std::nullopt;
}

bool isHyphenPosition(std::size_t index) {
  return index == 8 || index == 13 || index == 18 || index == 23;
}

}  // namespace

std::optional<platform::UUID> parseUUID(std::string_view text) {
  if (text.size() != 36) return std::nullopt;
  platform::UUID bytes{};
  std::size_t nibble = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (isHyphenPosition(i)) {
      if (text[i] != '-') return std::nullopt;
      continue;
    }
    const std::optional<std::uint8_t> digit = hexDigit(text[i]);
    if (!digit) return std::nullopt;
    bytes[nibble / 2] = static_cast<std::uint8_t>(bytes[nibble / 2] << 4 | *digit);
    ++nibble;
  }
  return bytes;
}

Result<platform::ServiceDescription, BridgeError> makeServiceDescription(
    std::uint8_t preferredChannelID, std::string_view uuidText) {
  const std::optional<platform::UUID> uuid = parseUUID(uuidText);
  if (!uuid) return fail(BridgeError{"invalid companion service UUID"});
  // Constants of this program's own: they parse.
  const platform::LowEnergyCharacteristics lowEnergy{
      .toService = *parseUUID(companionToHelperUUIDString),
      .fromService = *parseUUID(companionFromHelperUUIDString)};
  return platform::ServiceDescription{.uuid = *uuid,
                                      .name = std::string(companionServiceName),
                                      .preferredChannel = preferredChannelID,
                                      .requireAuthentication = true,
                                      .requireAuthorization = true,
                                      .lowEnergy = lowEnergy};
}

}  // namespace harlo
