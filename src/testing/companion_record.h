// The SDP record the helper registers with bluetoothd, byte for byte: the
// expected text of every test that looks at what was registered.
#pragma once

#include <string_view>

namespace harlo::test_support {

inline constexpr std::string_view companionRecordXML = R"(<?xml version="1.0" encoding="UTF-8" ?>
<record>
  <attribute id="0x0001">
    <sequence>
      <uuid value="d53f4e4c-6c17-4d8b-a1c7-4a7a3f6d9a10" />
      <uuid value="0x1101" />
    </sequence>
  </attribute>
  <attribute id="0x0004">
    <sequence>
      <sequence>
        <uuid value="0x0100" />
      </sequence>
      <sequence>
        <uuid value="0x0003" />
        <uint8 value="0x01" />
      </sequence>
    </sequence>
  </attribute>
  <attribute id="0x0005">
    <sequence>
      <uuid value="0x1002" />
    </sequence>
  </attribute>
  <attribute id="0x0100">
    <text value="Harlo Unicode Companion" />
  </attribute>
</record>
)";

}  // namespace harlo::test_support
