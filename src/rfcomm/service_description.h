// The description of the companion service that the bridge publishes.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "base/result.h"
#include "platform/service_description.h"
#include "rfcomm/bridge_error.h"
#include "rfcomm/companion_service.h"

namespace harlo {

// Parses a UUID written as 36 characters: 32 hex digits of either case in
// groups of 8, 4, 4, 4 and 12 separated by hyphens. Returns its 16 bytes, most
// significant first, or nothing for any other form.
std::optional<platform::UUID> parseUUID(std::string_view text);

// The companion service: its UUID, its name, RFCOMM channel
// `preferredChannelID` asked for, an authenticated, authorized link
// required, and its two characteristics over Bluetooth Low Energy. Fails
// with "invalid companion service UUID" when `uuidText` does not parse.
Result<platform::ServiceDescription, BridgeError> makeServiceDescription(
    std::uint8_t preferredChannelID, std::string_view uuidText = companionServiceUUIDString);

}  // namespace harlo
