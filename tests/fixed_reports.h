// The fixed bytes the helper writes: its two fixed reports, shared by every
// test that runs the helper in those modes (from the build tree or from an
// installed package), and its answer to a client's hello.
#pragma once

#include <string_view>

namespace harlo::test_support {

// "--capabilities": one JSON line, keys sorted, 168 bytes with its line feed.
inline constexpr char capabilitiesLine[] =
    "{\"detail\":\"Swift helper includes an RFCOMM service skeleton and structured stdio "
    "bridge\",\"ipc_protocol\":1,\"platform\":\"Darwin\",\"rfcomm_server\":true,\"stdio_bridge\":"
    "true}\n";
static_assert(sizeof(capabilitiesLine) - 1 == 168);

// "--self-test": four lines, 127 bytes.
inline constexpr char selfTestReport[] =
    "IOBluetooth framework available\n"
    "RFCOMM server scaffold present: yes\n"
    "stdio bridge scaffold present: yes\n"
    "IPC protocol version: 1\n";
static_assert(sizeof(selfTestReport) - 1 == 127);

// The answer to a client's hello: one line, 53 bytes with its line feed.
inline constexpr std::string_view helloAckLine =
    "{\"type\":\"hello_ack\",\"version\":1,\"platform\":\"Darwin\"}\n";
static_assert(helloAckLine.size() == 53);

}  // namespace harlo::test_support
