// How long the helper waits for an answer on the bus. Every call it makes
// from the main loop is bounded, so that a bus daemon or a bluetoothd that
// never answers can hold the loop for a few seconds at most.
#pragma once

#include <cstdint>

namespace harlo::platform {

// Questions whose answer the helper needs before it can go on: the owner of
// "org.bluez", bluetoothd's adapters (GetManagedObjects), RegisterProfile.
// (sd-bus's own default is 25 s.)
inline constexpr std::uint64_t answerTimeoutUsec = 3'000'000;

// RegisterApplication and RegisterAdvertisement, which bluetoothd answers
// only after reading this program's objects back. Nothing waits for them
// (they are asynchronous); the bound only ends a registration that never
// gets its answer, as a failure.
inline constexpr std::uint64_t registrationTimeoutUsec = 25'000'000;

// UnregisterProfile when the helper stops: it waits this long for bluetoothd
// to confirm, then goes on and exits, which ends the registration anyway.
inline constexpr std::uint64_t withdrawalTimeoutUsec = 2'000'000;

}  // namespace harlo::platform
