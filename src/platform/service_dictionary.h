// ServiceDictionary: the description of an SDP service record that the bridge
// hands to the platform for publication.
//
// It is a keyed map of data elements. An attribute's key is "0x", its ID in
// four hex digits, a space and its SDP name ("0x0001 ServiceClassIDList"); the
// platform takes the attribute ID from the digits. "LocalAttributes" is not an
// attribute but a map of publication options ("Persistent").
#pragma once

#include <cstdint>
#include <string>
#include <variant>
#include <vector>

namespace harlo::platform {

struct SdpElement;
struct SdpMapEntry;

using SdpBytes = std::vector<std::uint8_t>;  // a UUID: 2 or 16 bytes, most significant first
using SdpList = std::vector<SdpElement>;     // an ordered sequence
using SdpMap = std::vector<SdpMapEntry>;     // keyed, no order among keys

// An unsigned 8-bit number element, kept apart from a boolean.
struct SdpUInt8 {
  std::uint8_t value;
  bool operator==(const SdpUInt8&) const = default;
};

struct SdpElement {
  std::variant<SdpBytes, SdpUInt8, std::string, bool, SdpList, SdpMap> value;
  bool operator==(const SdpElement&) const = default;
};

// One keyed element of a map. A named struct rather than std::pair: a pair
// of the element type cannot be instantiated while that type is still being
// defined, which clang refuses.
struct SdpMapEntry {
  std::string key;
  SdpElement element;
  bool operator==(const SdpMapEntry&) const = default;
};

using ServiceDictionary = SdpMap;

}  // namespace harlo::platform
