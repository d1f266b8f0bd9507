// Checks the ServiceRecord text of a profile registration.
//
// The record is BlueZ's SDP XML: a <record> root holding <attribute id="...">
// elements, each with exactly one data element: <sequence> or <alternate>
// (holding data elements), <boolean>, <uint8> to <uint128>, <int8> to
// <int128>, <uuid>, <text>, <url> or <nil>, each scalar carrying its value in
// a `value` attribute.
//
// bluetoothd refuses a record that is not well-formed XML; a record that is
// well-formed but carries an unknown element, a value that does not parse, an
// attribute ID given twice or stray text is published by bluetoothd with
// those parts silently dropped or mangled. This check refuses all of them, so
// that a test sees the mistake instead of a quietly different record. Pure;
// safe from any thread.
#pragma once

#include <string>
#include <string_view>

#include "base/result.h"

namespace harlo::bluez_sim {

// Succeeds when `xml` is a record as described above; the error says what is
// wrong and where.
Result<void, std::string> checkServiceRecord(std::string_view xml);

}  // namespace harlo::bluez_sim
