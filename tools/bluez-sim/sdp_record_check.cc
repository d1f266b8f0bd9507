#include "sdp_record_check.h"

#include <cstdint>
#include <optional>
#include <set>

#include "xml_document.h"

namespace harlo::bluez_sim {
namespace {

bool isHexDigit(char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

// Digits in the forms strtoul accepts with base 0 ("0x1F", "017", "31"),
// without its leniency: no sign, no spaces, no trailing characters, no
// overflow, not empty.
std::optional<std::uint64_t> parseUnsigned(std::string_view text) {
  unsigned base = 10;
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    base = 16;
    text.remove_prefix(2);
  } else if (text.size() > 1 && text[0] == '0') {
    base = 8;
    text.remove_prefix(1);
  }
  if (text.empty()) return std::nullopt;
  std::uint64_t value = 0;
  for (char c : text) {
    unsigned digit = (c >= '0' && c <= '9')   ? static_cast<unsigned>(c - '0')
                     : (c >= 'a' && c <= 'f') ? static_cast<unsigned>(c - 'a' + 10)
                     : (c >= 'A' && c <= 'F') ? static_cast<unsigned>(c - 'A' + 10)
                                              : 99;
    if (digit >= base) return std::nullopt;
    if (value > (UINT64_MAX - digit) / base) return std::nullopt;
    value = value * base + digit;
  }
  return value;
}

bool isUnsignedOfWidth(std::string_view text, int bits) {
  auto value = parseUnsigned(text);
  return value && (bits == 64 || *value < (std::uint64_t{1} << bits));
}

bool isSignedOfWidth(std::string_view text, int bits) {
  bool negative = text.starts_with('-');
  auto magnitude = parseUnsigned(negative ? text.substr(1) : text);
  if (!magnitude) return false;
  std::uint64_t limit = std::uint64_t{1} << (bits - 1);  // |INTn_MIN|
  return negative ? *magnitude <= limit : *magnitude < limit;
}

bool isHexOfLength(std::string_view text, std::size_t digits) {
  if (text.size() != digits) return false;
  for (char c : text) {
    if (!isHexDigit(c)) return false;
  }
  return true;
}

// A 128-bit UUID written 8-4-4-4-12, or a 16- or 32-bit one as a number.
bool isUuid(std::string_view text) {
  if (text.size() == 36) {
    for (std::size_t i = 0; i < text.size(); ++i) {
      bool hyphen = i == 8 || i == 13 || i == 18 || i == 23;
      if (hyphen ? text[i] != '-' : !isHexDigit(text[i])) return false;
    }
    return true;
  }
  return isUnsignedOfWidth(text, 32);
}

bool isBlank(std::string_view text) {
  return text.find_first_not_of(" \t\r\n") == std::string_view::npos;
}

Result<void, std::string> checkScalarValue(const XmlElement& element, const std::string& value) {
  const std::string& kind = element.name;
  bool ok = true;
  if (kind == "boolean") {
    ok = value == "true" || value == "false";
  } else if (kind == "uint8" || kind == "uint16" || kind == "uint32" || kind == "uint64") {
    ok = isUnsignedOfWidth(value, std::stoi(kind.substr(4)));
  } else if (kind == "int8" || kind == "int16" || kind == "int32" || kind == "int64") {
    ok = isSignedOfWidth(value, std::stoi(kind.substr(3)));
  } else if (kind == "uint128" || kind == "int128") {
    ok = isHexOfLength(value, 32);
  } else if (kind == "uuid") {
    ok = isUuid(value);
  } else if (kind == "text") {
    const std::string* encoding = element.attribute("encoding");
    bool hex = encoding != nullptr && *encoding == "hex";
    ok = !hex || (value.size() % 2 == 0 && isHexOfLength(value, value.size()));
  } else if (kind != "url") {
    return fail("unknown element <" + kind + ">");
  }
  if (!ok) return fail("bad value \"" + value + "\" in <" + kind + ">");
  return {};
}

Result<void, std::string> checkData(const XmlElement& element) {
  if (!isBlank(element.text)) return fail("stray text in <" + element.name + ">");
  if (element.name == "sequence" || element.name == "alternate") {
    for (const auto& child : element.children) {
      if (auto r = checkData(child); !r) return r;
    }
    return {};
  }
  if (!element.children.empty()) return fail("<" + element.name + "> cannot hold elements");
  if (element.name == "nil") return {};
  const std::string* value = element.attribute("value");
  if (value == nullptr) return fail("<" + element.name + "> has no value");
  return checkScalarValue(element, *value);
}

Result<void, std::string> checkAttribute(const XmlElement& attribute,
                                         std::set<std::uint64_t>& seen) {
  const std::string* idText = attribute.attribute("id");
  if (idText == nullptr) return fail(std::string("<attribute> has no id"));
  auto id = parseUnsigned(*idText);
  if (!id || *id > 0xFFFF) return fail("bad attribute id \"" + *idText + "\"");
  auto where = [&](const std::string& what) { return "attribute " + *idText + ": " + what; };
  if (!seen.insert(*id).second) return fail(where("id given twice"));
  if (!isBlank(attribute.text)) return fail(where("stray text"));
  if (attribute.children.size() != 1) return fail(where("needs exactly one value element"));
  if (auto r = checkData(attribute.children.front()); !r) return fail(where(r.error()));
  return {};
}

}  // namespace

Result<void, std::string> checkServiceRecord(std::string_view xml) {
  auto document = parseXmlDocument(xml);
  if (!document) return fail(document.error());
  const XmlElement& root = document.value();
  if (root.name != "record") return fail("the root element is <" + root.name + ">, not <record>");
  if (!isBlank(root.text)) return fail(std::string("stray text in <record>"));
  std::set<std::uint64_t> seen;
  for (const auto& child : root.children) {
    if (child.name != "attribute") return fail("<" + child.name + "> directly in <record>");
    if (auto r = checkAttribute(child, seen); !r) return r;
  }
  return {};
}

}  // namespace harlo::bluez_sim
