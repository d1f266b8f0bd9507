// The SDP record description of the companion service.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string_view>

#include "base/constants.h"
#include "base/result.h"
#include "platform/service_dictionary.h"
#include "rfcomm/bridge_error.h"

namespace harlo {

// Parses a UUID written as 36 characters: 32 hex digits of either case in
// groups of 8, 4, 4, 4 and 12 separated by hyphens. Returns its 16 bytes, most
// significant first, or nothing for any other form.
std::optional<std::array<std::uint8_t, 16>> parseUUID(std::string_view text);

// The description of the companion service: its 128-bit UUID and the Serial
// Port class, L2CAP below RFCOMM on `preferredChannelID`, the public browse
// group, the service name, and not persistent. Built afresh on every call.
// Fails with "invalid companion service UUID" when `uuidText` does not parse.
Result<platform::ServiceDictionary, BridgeError> makeServiceDictionary(
    std::uint8_t preferredChannelID, std::string_view uuidText = companionServiceUUIDString);

}  // namespace harlo
