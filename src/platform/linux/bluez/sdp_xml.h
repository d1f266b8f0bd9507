// The SDP record BlueZ publishes for the service, as its XML form, which a
// profile registration carries in its ServiceRecord option.
//
// A pure function; safe from any thread.
#pragma once

#include <cstdint>
#include <string>

#include "platform/service_description.h"

namespace harlo::platform {

// The record of `description` served on RFCOMM `channel`: the service's own
// 128-bit UUID and the Serial Port class (attribute 0x0001), L2CAP below
// RFCOMM on `channel` (0x0004), the public browse group (0x0005) and the
// service name (0x0100). One element per value, two spaces of indentation
// per level; 16-bit UUIDs are written "0xNNNN", the 128-bit one lower case
// 8-4-4-4-12, the channel as two hex digits; the name is XML-escaped.
std::string sdpRecordXml(const ServiceDescription& description, std::uint8_t channel);

}  // namespace harlo::platform
