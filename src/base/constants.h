// Program-wide constants. They are fixed at build time; the helper reads no
// configuration, environment or persisted state.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace harlo {

// The `version` of every helper message the helper writes, the "ipc_protocol"
// of the capabilities report and the number in the self-test report.
inline constexpr std::int64_t helperProtocolVersion = 1;

// The SDP service the helper publishes.
inline constexpr std::string_view companionServiceName = "Harlo Unicode Companion";
inline constexpr std::string_view companionServiceUUIDString =
    "d53f4e4c-6c17-4d8b-a1c7-4a7a3f6d9a10";

// The reply to a client hello, written to the channel byte for byte. Its
// version digit and its platform name are part of the fixed text that clients
// compare; they are not derived from anything else.
inline constexpr std::string_view helloAckPayload =
    "{\"type\":\"hello_ack\",\"version\":1,\"platform\":\"Darwin\"}\n";
static_assert(helloAckPayload.size() == 53);

// The longest line, line feed excluded, accepted from the parent on standard
// input or from the Bluetooth client. A longer line is reported once and
// discarded through its next line feed, so neither side can make the helper
// buffer without bound.
inline constexpr std::size_t maxLineBytes = 1048576;

}  // namespace harlo
