// The D-Bus names of BlueZ's profile, adapter, device, GATT and advertising
// API and of the objects this program exports for them.
#pragma once

namespace harlo::platform {

inline constexpr const char* bluezService = "org.bluez";
inline constexpr const char* bluezManagerPath = "/org/bluez";
inline constexpr const char* profileManagerInterface = "org.bluez.ProfileManager1";
inline constexpr const char* profileInterface = "org.bluez.Profile1";
inline constexpr const char* rejectedError = "org.bluez.Error.Rejected";
inline constexpr const char* notAuthorizedError = "org.bluez.Error.NotAuthorized";
inline constexpr const char* failedError = "org.bluez.Error.Failed";
inline constexpr const char* adapterInterface = "org.bluez.Adapter1";
inline constexpr const char* deviceInterface = "org.bluez.Device1";
inline constexpr const char* gattManagerInterface = "org.bluez.GattManager1";
inline constexpr const char* gattServiceInterface = "org.bluez.GattService1";
inline constexpr const char* gattCharacteristicInterface = "org.bluez.GattCharacteristic1";
inline constexpr const char* advertisingManagerInterface = "org.bluez.LEAdvertisingManager1";
inline constexpr const char* advertisementInterface = "org.bluez.LEAdvertisement1";
inline constexpr const char* propertiesInterface = "org.freedesktop.DBus.Properties";

// Where this program exports its org.bluez.Profile1 object; BlueZ calls it for
// each client of the registered profile.
inline constexpr const char* profileObjectPath = "/org/harlo/companion/profile";

// The GATT application offered over Bluetooth Low Energy: its root (with
// the object manager bluetoothd reads it through), its one service and the
// service's two characteristics.
inline constexpr const char* gattApplicationPath = "/org/harlo/companion/le";
inline constexpr const char* gattServicePath = "/org/harlo/companion/le/service0";
inline constexpr const char* toHelperCharacteristicPath = "/org/harlo/companion/le/service0/char0";
inline constexpr const char* fromHelperCharacteristicPath =
    "/org/harlo/companion/le/service0/char1";
// The advertisement, outside the application's tree, which bluetoothd reads
// as GATT objects only.
inline constexpr const char* advertisementPath = "/org/harlo/companion/advertisement";

}  // namespace harlo::platform
