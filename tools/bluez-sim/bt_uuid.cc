#include "bt_uuid.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace harlo::bluez_sim {
namespace {

bool hasUuid128Form(const std::string& text) {
  return text.size() == 36 && text[8] == '-' && text[13] == '-' && text[18] == '-' &&
         text[23] == '-';
}

std::string onBaseUuid(std::uint32_t value) {
  char text[37];
  std::snprintf(text, sizeof text, "%08x-0000-1000-8000-00805f9b34fb",
                static_cast<unsigned>(value));
  return text;
}

// bluetoothd's bt_string_to_uuid16: a hexadecimal number ending the text or
// followed by '-'.
std::optional<BluetoothUuid> uuid16(const char* text) {
  char* end = nullptr;
  long value = std::strtol(text, &end, 16);
  if (end == nullptr || (*end != '\0' && *end != '-')) return std::nullopt;
  return BluetoothUuid{onBaseUuid(static_cast<std::uint16_t>(value)), 2};
}

}  // namespace

std::optional<BluetoothUuid> parseBluetoothUuid(const std::string& text) {
  char dummy[2];
  unsigned short shortValue = 0;
  if (hasUuid128Form(text) &&
      std::sscanf(text.c_str(), "0000%04hx-0000-1000-8000-00805%1[fF]9%1[bB]34%1[fF]%1[bB]",
                  &shortValue, dummy, dummy, dummy, dummy) == 5) {
    return uuid16(text.c_str() + 4);
  }
  if (hasUuid128Form(text)) {
    unsigned d0 = 0, d4 = 0;
    unsigned short d1 = 0, d2 = 0, d3 = 0, d5 = 0;
    if (std::sscanf(text.c_str(), "%08x-%04hx-%04hx-%04hx-%08x%04hx", &d0, &d1, &d2, &d3, &d4,
                    &d5) != 6) {
      return std::nullopt;
    }
    char canonical[37];
    std::snprintf(canonical, sizeof canonical, "%08x-%04x-%04x-%04x-%08x%04x", d0, d1, d2, d3, d4,
                  d5);
    return BluetoothUuid{canonical, 16};
  }
  if (text.size() == 8 || text.size() == 10) {
    char* end = nullptr;
    unsigned long value = std::strtoul(text.c_str(), &end, 16);
    if (end == nullptr || *end != '\0') return std::nullopt;
    return BluetoothUuid{onBaseUuid(static_cast<std::uint32_t>(value)), 4};
  }
  if (text.size() == 4 || text.size() == 6) return uuid16(text.c_str());
  return std::nullopt;
}

bool isCoreServiceUuid(const std::string& canonical) {
  return canonical == onBaseUuid(0x1800) || canonical == onBaseUuid(0x1801);
}

}  // namespace harlo::bluez_sim
