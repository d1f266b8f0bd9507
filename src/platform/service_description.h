// ServiceDescription: the service the bridge asks a platform to publish, in
// the terms every platform needs. Each platform builds its own record from it:
// on BlueZ the SDP record's XML and the profile's options.
#pragma once

#include <array>
#include <cstdint>
#include <string>

namespace harlo::platform {

// A 128-bit UUID, most significant byte first.
using UUID = std::array<std::uint8_t, 16>;

// The service's two characteristics over Bluetooth Low Energy (GATT): the
// client writes its bytes to one and subscribes to the other for the
// service's bytes.
struct LowEnergyCharacteristics {
  UUID toService{};    // write and write-without-response
  UUID fromService{};  // notify

  bool operator==(const LowEnergyCharacteristics&) const = default;
};

struct ServiceDescription {
  UUID uuid{};                        // the service's own UUID, on either transport
  std::string name;                   // its name, as clients see it
  std::uint8_t preferredChannel = 0;  // the RFCOMM channel asked for; another may be granted
  bool requireAuthentication = true;  // only a paired, authenticated link reaches it
  bool requireAuthorization = true;   // and only one the user allowed (a trusted device)
  LowEnergyCharacteristics lowEnergy;

  bool operator==(const ServiceDescription&) const = default;
};

// `uuid` written lower case in the 8-4-4-4-12 form.
inline std::string uuidText(const UUID& uuid) {
  constexpr char digits[] = "0123456789abcdef";
  std::string text;
  for (std::size_t i = 0; i < uuid.size(); ++i) {
    if (i == 4 || i == 6 || i == 8 || i == 10) text += '-';
    text += digits[uuid[i] >> 4];
    text += digits[uuid[i] & 0x0f];
  }
  return text;
}

}  // namespace harlo::platform
