// The D-Bus names of BlueZ's profile and adapter API and of the objects this
// program exports for it.
#pragma once

namespace harlo::platform {

inline constexpr const char* bluezService = "org.bluez";
inline constexpr const char* bluezManagerPath = "/org/bluez";
inline constexpr const char* profileManagerInterface = "org.bluez.ProfileManager1";
inline constexpr const char* profileInterface = "org.bluez.Profile1";
inline constexpr const char* rejectedError = "org.bluez.Error.Rejected";
inline constexpr const char* adapterInterface = "org.bluez.Adapter1";

// Where this program exports its org.bluez.Profile1 object; BlueZ calls it for
// each client of the registered profile.
inline constexpr const char* profileObjectPath = "/org/harlo/companion/profile";

}  // namespace harlo::platform
