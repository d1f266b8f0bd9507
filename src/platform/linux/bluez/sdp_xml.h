// Conversion of a service record description into what BlueZ takes from a
// profile registration: the record as BlueZ's SDP XML, and the service UUID,
// name and RFCOMM channel that go beside it as registration options.
//
// Pure functions of the description; safe from any thread.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "platform/service_dictionary.h"

namespace harlo::platform {

// The record as BlueZ's SDP XML: one <attribute> per attribute key, sorted by
// ID, each value written as one element (<uuid>, <uint8>, <text>,
// <sequence>), two spaces of indentation per level. 16-bit UUIDs are written
// "0xNNNN", 128-bit ones lower case 8-4-4-4-12; text is XML-escaped.
// "LocalAttributes" carries publication options, not an attribute, and is
// left out. Nothing when a key names no four-hex-digit ID, an ID appears
// twice, or a value is of a kind no record of ours holds (a byte string of
// another length, a boolean, a map).
std::optional<std::string> sdpRecordXml(const ServiceDictionary& description);

// The RFCOMM server channel: the 8-bit number that follows the RFCOMM UUID
// (0x0003) in the protocol descriptor list (attribute 0x0004), if any.
std::optional<std::uint8_t> rfcommChannelOf(const ServiceDictionary& description);

// `description` with `channel` as its RFCOMM server channel (where
// rfcommChannelOf finds it), if it has one.
std::optional<ServiceDictionary> withRfcommChannel(ServiceDictionary description,
                                                   std::uint8_t channel);

// The first 128-bit UUID of the service class list (attribute 0x0001),
// lower case 8-4-4-4-12, if any.
std::optional<std::string> serviceUUIDOf(const ServiceDictionary& description);

// The service name (attribute 0x0100), if it is text.
std::optional<std::string> serviceNameOf(const ServiceDictionary& description);

}  // namespace harlo::platform
