// What a BlueZ device object's path says: "/org/bluez/hci0/dev_00_11_22_33_44_55"
// is the device "00:11:22:33:44:55" of the adapter "/org/bluez/hci0".
#pragma once

#include <algorithm>
#include <string>
#include <string_view>

namespace harlo::platform {

// The device's address, or the path itself when it has none.
inline std::string deviceAddressOf(std::string_view devicePath) {
  const std::size_t last = devicePath.rfind('/');
  const std::string_view name = devicePath.substr(last == std::string_view::npos ? 0 : last + 1);
  if (!name.starts_with("dev_")) return std::string(devicePath);
  std::string address(name.substr(4));
  std::replace(address.begin(), address.end(), '_', ':');
  return address;
}

// The adapter a device object belongs to, its path's parent:
// "/org/bluez/hci0" for "/org/bluez/hci0/dev_00_11_22_33_44_55".
inline std::string_view adapterPathOf(std::string_view devicePath) {
  const std::size_t last = devicePath.rfind('/');
  return last == std::string_view::npos ? std::string_view() : devicePath.substr(0, last);
}

// The last element of an object path: "hci0" for "/org/bluez/hci0".
inline std::string_view lastPathElement(std::string_view path) {
  const std::size_t last = path.rfind('/');
  return last == std::string_view::npos ? path : path.substr(last + 1);
}

}  // namespace harlo::platform
