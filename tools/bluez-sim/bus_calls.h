// The calls bluetoothd makes on an application's objects, as sd-bus
// messages: the ones that expect no reply, and the options dictionary of its
// GATT calls. Each returns a negative errno on failure.
#pragma once

#include <systemd/sd-bus.h>

#include <cstdint>
#include <string>

namespace harlo::bluez_sim {

// How long bluetoothd's proxies wait for a GATT method's reply
// (gdbus/client.c's METHOD_CALL_TIMEOUT, 300 s).
inline constexpr std::uint64_t gattCallTimeoutMicroseconds = 300'000'000;

// Sends `member` of `interface` (no arguments) to `destination` `path`,
// flagged as expecting no reply.
int sendWithoutReply(sd_bus* bus, const std::string& destination, const std::string& path,
                     const char* interface, const char* member);

// Appends the a{sv} bluetoothd gives a GATT call from an LE device at
// offset 0 (gatt-database.c's append_options): {"device": o, "link": s "LE",
// "mtu": q}.
int appendLinkOptions(sd_bus_message* message, const std::string& device, std::uint16_t mtu);

// The error name and message of a reply ("" for a method return).
std::string errorNameOf(sd_bus_message* reply);
std::string errorMessageOf(sd_bus_message* reply);

}  // namespace harlo::bluez_sim
