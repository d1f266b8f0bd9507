#include "platform/linux/bluez/sdp_xml.h"

#include <algorithm>
#include <charconv>
#include <span>
#include <string_view>
#include <utility>
#include <vector>

namespace harlo::platform {
namespace {

constexpr std::uint16_t serviceClassIDListID = 0x0001;
constexpr std::uint16_t protocolDescriptorListID = 0x0004;
constexpr std::uint16_t serviceNameID = 0x0100;
constexpr std::string_view localAttributesKey = "LocalAttributes";

// The attribute ID of a key written "0xNNNN" or "0xNNNN Name".
std::optional<std::uint16_t> attributeID(std::string_view key) {
  constexpr std::size_t digitsEnd = 6;
  if (key.size() < digitsEnd || !key.starts_with("0x")) return std::nullopt;
  if (key.size() > digitsEnd && key[digitsEnd] != ' ') return std::nullopt;
  std::uint16_t id = 0;
  const char* last = key.data() + digitsEnd;
  const auto [end, error] = std::from_chars(key.data() + 2, last, id, 16);
  if (error != std::errc() || end != last) return std::nullopt;
  return id;
}

const SdpElement* findAttribute(const ServiceDictionary& description, std::uint16_t id) {
  for (const auto& [key, element] : description) {
    if (attributeID(key) == id) return &element;
  }
  return nullptr;
}

// The number that follows the RFCOMM UUID (0x0003) in the protocol
// descriptor list (attribute 0x0004), if any.
const SdpUInt8* rfcommChannelElement(const ServiceDictionary& description) {
  const SdpElement* attribute = findAttribute(description, protocolDescriptorListID);
  const auto* protocols = attribute ? std::get_if<SdpList>(&attribute->value) : nullptr;
  if (!protocols) return nullptr;
  const SdpBytes rfcommUUID{0x00, 0x03};
  for (const SdpElement& protocol : *protocols) {
    const auto* parts = std::get_if<SdpList>(&protocol.value);
    if (!parts || parts->size() < 2) continue;
    const auto* uuid = std::get_if<SdpBytes>(&(*parts)[0].value);
    const auto* channel = std::get_if<SdpUInt8>(&(*parts)[1].value);
    if (uuid && *uuid == rfcommUUID && channel) return channel;
  }
  return nullptr;
}

// The same element of a description that may be changed.
SdpUInt8* rfcommChannelElement(ServiceDictionary& description) {
  return const_cast<SdpUInt8*>(rfcommChannelElement(std::as_const(description)));
}

std::string hex(std::span<const std::uint8_t> bytes) {
  constexpr char digits[] = "0123456789abcdef";
  std::string text;
  for (const std::uint8_t byte : bytes) {
    text += digits[byte >> 4];
    text += digits[byte & 0x0f];
  }
  return text;
}

// A 16-bit UUID as "0xNNNN", a 128-bit one as 8-4-4-4-12.
std::optional<std::string> uuidText(const SdpBytes& bytes) {
  const std::span<const std::uint8_t> all(bytes);
  if (bytes.size() == 2) return "0x" + hex(all);
  if (bytes.size() != 16) return std::nullopt;
  return hex(all.subspan(0, 4)) + '-' + hex(all.subspan(4, 2)) + '-' + hex(all.subspan(6, 2)) +
         '-' + hex(all.subspan(8, 2)) + '-' + hex(all.subspan(10, 6));
}

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

void valueElement(std::string& out, std::string_view name, std::string_view value) {
  out.append("<").append(name).append(" value=\"").append(value).append("\" />\n");
}

bool writeElement(std::string& out, const SdpElement& element, std::size_t depth) {
  out.append(2 * depth, ' ');
  if (const auto* bytes = std::get_if<SdpBytes>(&element.value)) {
    const std::optional<std::string> uuid = uuidText(*bytes);
    if (!uuid) return false;
    valueElement(out, "uuid", *uuid);
  } else if (const auto* number = std::get_if<SdpUInt8>(&element.value)) {
    valueElement(out, "uint8", "0x" + hex(std::span(&number->value, 1)));
  } else if (const auto* text = std::get_if<std::string>(&element.value)) {
    valueElement(out, "text", escaped(*text));
  } else if (const auto* list = std::get_if<SdpList>(&element.value)) {
    out += "<sequence>\n";
    for (const SdpElement& item : *list) {
      if (!writeElement(out, item, depth + 1)) return false;
    }
    out.append(2 * depth, ' ').append("</sequence>\n");
  } else {
    return false;  // a boolean or a map: not part of any record we publish
  }
  return true;
}

}  // namespace

std::optional<std::string> sdpRecordXml(const ServiceDictionary& description) {
  std::vector<std::pair<std::uint16_t, const SdpElement*>> attributes;
  for (const auto& [key, element] : description) {
    if (key == localAttributesKey) continue;
    const std::optional<std::uint16_t> id = attributeID(key);
    if (!id) return std::nullopt;
    attributes.emplace_back(*id, &element);
  }
  std::sort(attributes.begin(), attributes.end(),
            [](const auto& a, const auto& b) { return a.first < b.first; });
  const auto sameID = [](const auto& a, const auto& b) { return a.first == b.first; };
  if (std::adjacent_find(attributes.begin(), attributes.end(), sameID) != attributes.end()) {
    return std::nullopt;
  }

  std::string xml = "<?xml version=\"1.0\" encoding=\"UTF-8\" ?>\n<record>\n";
  for (const auto& [id, element] : attributes) {
    const std::uint8_t idBytes[] = {static_cast<std::uint8_t>(id >> 8),
                                    static_cast<std::uint8_t>(id & 0xff)};
    xml.append("  <attribute id=\"0x").append(hex(idBytes)).append("\">\n");
    if (!writeElement(xml, *element, 2)) return std::nullopt;
    xml += "  </attribute>\n";
  }
  xml += "</record>\n";
  return xml;
}

std::optional<std::uint8_t> rfcommChannelOf(const ServiceDictionary& description) {
  const SdpUInt8* channel = rfcommChannelElement(description);
  if (!channel) return std::nullopt;
  return channel->value;
}

std::optional<ServiceDictionary> withRfcommChannel(ServiceDictionary description,
                                                   std::uint8_t channel) {
  SdpUInt8* element = rfcommChannelElement(description);
  if (!element) return std::nullopt;
  element->value = channel;
  return description;
}

std::optional<std::string> serviceUUIDOf(const ServiceDictionary& description) {
  const SdpElement* attribute = findAttribute(description, serviceClassIDListID);
  const auto* classes = attribute ? std::get_if<SdpList>(&attribute->value) : nullptr;
  if (!classes) return std::nullopt;
  for (const SdpElement& serviceClass : *classes) {
    const auto* bytes = std::get_if<SdpBytes>(&serviceClass.value);
    if (bytes && bytes->size() == 16) return uuidText(*bytes);
  }
  return std::nullopt;
}

std::optional<std::string> serviceNameOf(const ServiceDictionary& description) {
  const SdpElement* attribute = findAttribute(description, serviceNameID);
  const auto* name = attribute ? std::get_if<std::string>(&attribute->value) : nullptr;
  if (!name) return std::nullopt;
  return *name;
}

}  // namespace harlo::platform
