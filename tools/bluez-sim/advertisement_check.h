// An advertisement as bluetoothd 5.66 reads it for RegisterAdvertisement:
// the properties of its org.bluez.LEAdvertisement1, checked as
// advertising.c's parse_advertisement checks them. A failure is refused with
// org.bluez.Error.Failed "Failed to parse advertisement." (advertisementRefusal).
//
// Checked, each only when present: Type ("s", "broadcast" or "peripheral";
// absent, bluetoothd takes broadcast), ServiceUUIDs and SolicitUUIDs (an
// array; each string in it a UUID bluetoothd reads, bt_uuid.h), LocalName
// ("s"), Appearance, Duration, Timeout and DiscoverableTimeout ("q"),
// Discoverable ("b"); then a broadcast advertisement may not be
// discoverable, a DiscoverableTimeout may not exceed a Timeout, and the
// legacy advertising data (31 bytes) must hold the Flags a discoverable one
// carries (3 bytes), the UUID lists (2 bytes per list of one size, plus each
// UUID's size) and an Appearance (4 bytes). Other properties
// (ManufacturerData, ServiceData, Data, Includes, ...) are taken unchecked
// and not counted. Pure; safe from any thread.
#pragma once

#include <string>
#include <vector>

#include "base/result.h"
#include "dbus_objects.h"

namespace harlo::bluez_sim {

inline constexpr const char* advertisementRefusal = "Failed to parse advertisement.";

// Nothing if bluetoothd would take the advertisement, else what it logs
// about it.
Result<void, std::string> checkAdvertisement(const std::vector<DBusProperty>& properties);

}  // namespace harlo::bluez_sim
