#include "platform/linux/bluez/sdp_xml.h"

#include <string_view>

namespace harlo::platform {
namespace {

std::string escaped(std::string_view text) {
  std::string out;
  for (const char c : text) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      default:
        out += c;
    }
  }
  return out;
}

std::string twoHexDigits(std::uint8_t number) {
  constexpr char digits[] = "0123456789abcdef";
  return {digits[number >> 4], digits[number & 0x0f]};
}

}  // namespace

std::string sdpRecordXml(const ServiceDescription& description, std::uint8_t channel) {
  return R"(<?xml version="1.0" encoding="UTF-8" ?>
<record>
  <attribute id="0x0001">
    <sequence>
      <uuid value=")" +
         uuidText(description.uuid) + R"(" />
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
        <uint8 value="0x)" +
         twoHexDigits(channel) + R"(" />
      </sequence>
    </sequence>
  </attribute>
  <attribute id="0x0005">
    <sequence>
      <uuid value="0x1002" />
    </sequence>
  </attribute>
  <attribute id="0x0100">
    <text value=")" +
         escaped(description.name) + R"(" />
  </attribute>
</record>
)";
}

}  // namespace harlo::platform
