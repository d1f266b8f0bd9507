// The companion service: what identifies it to clients, and the reply every
// client's hello gets. Fixed texts that clients find and compare.
#pragma once

#include <string_view>

namespace harlo {

// The service the helper publishes.
inline constexpr std::string_view companionServiceName = "Harlo Unicode Companion";
inline constexpr std::string_view companionServiceUUIDString =
    "d53f4e4c-6c17-4d8b-a1c7-4a7a3f6d9a10";

// Its two characteristics over Bluetooth Low Energy: the client writes its
// lines to the first and takes the helper's as notifications of the second.
// The service UUID with its fourth byte counted up, so that they read as
// one family.
inline constexpr std::string_view companionToHelperUUIDString =
    "d53f4e4d-6c17-4d8b-a1c7-4a7a3f6d9a10";
inline constexpr std::string_view companionFromHelperUUIDString =
    "d53f4e4e-6c17-4d8b-a1c7-4a7a3f6d9a10";

// The reply to a client hello, written to the channel byte for byte. Its
// version digit and its platform name are part of the fixed text that clients
// compare; they are not derived from anything else.
inline constexpr std::string_view helloAckPayload =
    "{\"type\":\"hello_ack\",\"version\":1,\"platform\":\"Darwin\"}\n";
static_assert(helloAckPayload.size() == 53);

}  // namespace harlo
