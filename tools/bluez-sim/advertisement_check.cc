#include "advertisement_check.h"

#include <charconv>
#include <cstdint>
#include <string_view>

#include "bt_uuid.h"

namespace harlo::bluez_sim {
namespace {

constexpr std::size_t legacyDataLength = 31;

std::string parsingError(std::string_view name) {
  return "Error parsing " + std::string(name) + " property";
}

std::uint32_t number(const DBusProperty* p) {
  std::uint32_t value = 0;
  if (p != nullptr) std::from_chars(p->value.data(), p->value.data() + p->value.size(), value);
  return value;
}

// The bytes a UUID list takes in the advertising data (ad.c's
// uuid_list_length), or nothing if one of its UUIDs is not read.
std::optional<std::size_t> uuidListLength(const DBusProperty& list) {
  if (!list.type.starts_with('a')) return std::nullopt;
  if (list.type != "as") return 0;
  std::size_t length = 0;
  bool sizes[17] = {};
  for (const auto& text : list.items) {
    auto uuid = parseBluetoothUuid(text);
    if (!uuid) return std::nullopt;
    length += uuid->bytes;
    sizes[uuid->bytes] = true;
  }
  for (unsigned size : {2u, 4u, 16u}) length += sizes[size] ? 2 : 0;
  return length;
}

}  // namespace

Result<void, std::string> checkAdvertisement(const std::vector<DBusProperty>& properties) {
  const DBusProperty* type = findProperty(properties, "Type");
  if (type != nullptr &&
      (type->type != "s" || (type->value != "broadcast" && type->value != "peripheral"))) {
    return fail(parsingError("Type"));
  }
  std::size_t length = 0;
  for (const char* name : {"ServiceUUIDs", "SolicitUUIDs"}) {
    const DBusProperty* list = findProperty(properties, name);
    if (list == nullptr) continue;
    auto listLength = uuidListLength(*list);
    if (!listLength) return fail(parsingError(name));
    length += *listLength;
  }
  struct Typed {
    const char* name;
    const char* type;
  };
  for (auto [name, signature] :
       {Typed{"LocalName", "s"}, Typed{"Appearance", "q"}, Typed{"Duration", "q"},
        Typed{"Timeout", "q"}, Typed{"Discoverable", "b"}, Typed{"DiscoverableTimeout", "q"}}) {
    const DBusProperty* p = findProperty(properties, name);
    if (p != nullptr && p->type != signature) return fail(parsingError(name));
  }
  const DBusProperty* discoverable = findProperty(properties, "Discoverable");
  bool hasFlags = discoverable != nullptr && discoverable->value == "true";
  bool broadcast = type == nullptr || type->value == "broadcast";
  if (hasFlags && broadcast) return fail(std::string("Broadcast cannot set flags"));
  std::uint32_t timeout = number(findProperty(properties, "Timeout"));
  std::uint32_t discoverableTimeout =
      hasFlags ? number(findProperty(properties, "DiscoverableTimeout")) : 0;
  if (timeout != 0 && timeout < discoverableTimeout)
    return fail(std::string("DiscoverableTimeout > Timeout"));
  const DBusProperty* appearance = findProperty(properties, "Appearance");
  length += hasFlags ? 3 : 0;
  length += appearance != nullptr && number(appearance) != 0xFFFF ? 4 : 0;
  if (length > legacyDataLength)
    return fail(std::string("Advertising data too long or couldn't be generated."));
  return {};
}

}  // namespace harlo::bluez_sim
