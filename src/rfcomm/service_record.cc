#include "rfcomm/service_record.h"

#include <string>

namespace harlo {
namespace {

using platform::SdpBytes;
using platform::SdpElement;
using platform::SdpList;
using platform::SdpMap;
using platform::SdpUInt8;

std::optional<std::uint8_t> hexDigit(char c) {
  if (c >= '0' && c <= '9') return static_cast<std::uint8_t>(c - '0');
  if (c >= 'a' && c <= 'f') return static_cast<std::uint8_t>(c - 'a' + 10);
  if (c >= 'A' && c <= 'F') return static_cast<std::uint8_t>(c - 'A' + 10);
  return std::nullopt;
}

bool isHyphenPosition(std::size_t index) {
  return index == 8 || index == 13 || index == 18 || index == 23;
}

SdpElement uuid16(std::uint8_t high, std::uint8_t low) { return {SdpBytes{high, low}}; }

SdpElement list(SdpList elements) { return {std::move(elements)}; }

}  // namespace

std::optional<std::array<std::uint8_t, 16>> parseUUID(std::string_view text) {
  if (text.size() != 36) return std::nullopt;
  std::array<std::uint8_t, 16> bytes{};
  std::size_t nibble = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (isHyphenPosition(i)) {
      if (text[i] != '-') return std::nullopt;
      continue;
    }
    const std::optional<std::uint8_t> digit = hexDigit(text[i]);
    if (!digit) return std::nullopt;
    bytes[nibble / 2] = static_cast<std::uint8_t>(bytes[nibble / 2] << 4 | *digit);
    ++nibble;
  }
  return bytes;
}

Result<platform::ServiceDictionary, BridgeError> makeServiceDictionary(
    std::uint8_t preferredChannelID, std::string_view uuidText) {
  const auto uuid = parseUUID(uuidText);
  if (!uuid) return fail(BridgeError{"invalid companion service UUID"});

  const SdpElement serviceUUID{SdpBytes(uuid->begin(), uuid->end())};
  const SdpElement serialPort = uuid16(0x11, 0x01);
  const SdpElement l2cap = uuid16(0x01, 0x00);
  const SdpElement rfcomm = uuid16(0x00, 0x03);
  const SdpElement publicBrowseRoot = uuid16(0x10, 0x02);
  const SdpElement channel{SdpUInt8{preferredChannelID}};

  return platform::ServiceDictionary{
      {"0x0001 ServiceClassIDList", list({serviceUUID, serialPort})},
      {"0x0004 ProtocolDescriptorList", list({list({l2cap}), list({rfcomm, channel})})},
      {"0x0005 BrowseGroupList", list({publicBrowseRoot})},
      {"0x0100 ServiceName", {std::string(companionServiceName)}},
      {"LocalAttributes", {SdpMap{{"Persistent", {false}}}}},
  };
}

}  // namespace harlo
