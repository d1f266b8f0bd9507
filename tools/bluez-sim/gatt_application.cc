#include "gatt_application.h"

#include <algorithm>
#include <string_view>

#include "bt_uuid.h"

namespace harlo::bluez_sim {
namespace {

constexpr std::string_view serviceInterface = "org.bluez.GattService1";
constexpr std::string_view characteristicInterface = "org.bluez.GattCharacteristic1";
constexpr std::string_view descriptorInterface = "org.bluez.GattDescriptor1";

enum FlagBits : unsigned {
  notifyBit = 1,
  indicateBit = 2,
  writeBit = 4,
  writeWithoutResponseBit = 8,
  permitsWriteBit = 16,
};

struct FlagEffect {
  std::string_view name;
  unsigned bits;
  LinkSecurity write;
  LinkSecurity ccc;
};

using enum LinkSecurity;

// bluetoothd 5.66's parse_chrc_flags, for what this simulator acts on.
constexpr FlagEffect characteristicFlags[] = {
    {"broadcast", 0, none, none},
    {"read", 0, none, none},
    {"write-without-response", writeWithoutResponseBit | permitsWriteBit, none, none},
    {"write", writeBit | permitsWriteBit, none, none},
    {"notify", notifyBit, none, none},
    {"indicate", indicateBit, none, none},
    {"authenticated-signed-writes", permitsWriteBit, none, none},
    {"extended-properties", 0, none, none},
    {"reliable-write", permitsWriteBit, none, none},
    {"writable-auxiliaries", 0, none, none},
    {"encrypt-read", 0, none, none},
    {"encrypt-write", writeBit | permitsWriteBit, encrypted, none},
    {"encrypt-authenticated-read", 0, none, none},
    {"encrypt-authenticated-write", writeBit | permitsWriteBit, authenticated, none},
    {"secure-read", 0, none, none},
    {"secure-write", writeBit | permitsWriteBit, secure, none},
    {"authorize", 0, none, none},
    {"encrypt-notify", notifyBit, none, encrypted},
    {"encrypt-authenticated-notify", notifyBit, none, authenticated},
    {"secure-notify", notifyBit, none, secure},
    {"encrypt-indicate", indicateBit, none, encrypted},
    {"encrypt-authenticated-indicate", indicateBit, none, authenticated},
    {"secure-indicate", indicateBit, none, secure},
};

// bluetoothd 5.66's parse_desc_flags.
constexpr std::string_view descriptorFlags[] = {
    "read",
    "write",
    "encrypt-read",
    "encrypt-write",
    "encrypt-authenticated-read",
    "encrypt-authenticated-write",
    "secure-read",
    "secure-write",
    "authorize",
};

struct Proxy {
  std::string_view path;
  const DBusInterface* interface;
};

Failure<GattRefusal> refuse(std::string message, std::string reason) {
  return fail(GattRefusal{std::move(message), std::move(reason)});
}

const DBusProperty* property(const Proxy& proxy, std::string_view name) {
  return findProperty(proxy.interface->properties, name);
}

// The object path in `name`, if it has one of type "o".
const std::string* pathProperty(const Proxy& proxy, std::string_view name) {
  const DBusProperty* p = property(proxy, name);
  return p != nullptr && p->type == "o" ? &p->value : nullptr;
}

// The Flags of `proxy` if they are a non-empty "as", else nothing.
const std::vector<std::string>* flagsOf(const Proxy& proxy) {
  const DBusProperty* p = property(proxy, "Flags");
  return p != nullptr && p->type == "as" && !p->items.empty() ? &p->items : nullptr;
}

// Applies the characteristic flags to `c`; false (with `reason`) for an
// unknown one.
bool applyFlags(GattCharacteristic& c, std::string& reason) {
  unsigned bits = 0;
  for (const auto& flag : c.flags) {
    auto effect = std::find_if(std::begin(characteristicFlags), std::end(characteristicFlags),
                               [&](const FlagEffect& e) { return e.name == flag; });
    if (effect == std::end(characteristicFlags)) {
      reason = "Invalid characteristic flag: " + flag;
      return false;
    }
    bits |= effect->bits;
    c.writeSecurity = std::max(c.writeSecurity, effect->write);
    c.cccSecurity = std::max(c.cccSecurity, effect->ccc);
  }
  c.notify = (bits & notifyBit) != 0;
  c.indicate = (bits & indicateBit) != 0;
  c.write = (bits & writeBit) != 0;
  c.writeWithoutResponse = (bits & writeWithoutResponseBit) != 0;
  c.permitsWrite = (bits & permitsWriteBit) != 0;
  return true;
}

// bluetoothd's parse_uuid: a UUID it reads, and not one of the services it
// serves itself.
bool takesUuid(const Proxy& proxy) {
  const DBusProperty* p = property(proxy, "UUID");
  if (p == nullptr || p->type != "s") return false;
  auto uuid = parseBluetoothUuid(p->value);
  return uuid && !isCoreServiceUuid(uuid->canonical);
}

// bluetoothd's parse_handle: optional, a "q" when present.
bool takesHandle(const Proxy& proxy) {
  const DBusProperty* p = property(proxy, "Handle");
  return p == nullptr || p->type == "q";
}

// bluetoothd's parse_includes: optional, an array of object paths when
// present (an empty array of anything passes).
bool takesIncludes(const Proxy& proxy) {
  const DBusProperty* p = property(proxy, "Includes");
  return p == nullptr || p->type == "ao" || (p->type.starts_with('a') && p->value == "[]");
}

struct Parts {
  std::vector<Proxy> services;
  std::vector<std::vector<std::pair<Proxy, GattCharacteristic>>> characteristics;  // by service
  std::vector<std::pair<Proxy, GattDescriptor>> descriptors;
};

// bluetoothd's register_service, register_characteristic and
// register_descriptor over every proxy; the reason for a failure.
Result<Parts, std::string> collect(const std::vector<Proxy>& proxies) {
  Parts parts;
  for (const auto& proxy : proxies) {
    if (proxy.interface->name == serviceInterface) {
      parts.services.push_back(proxy);
      parts.characteristics.emplace_back();
    }
  }
  auto serviceIndex = [&](const std::string& path) {
    return std::find_if(parts.services.begin(), parts.services.end(),
                        [&](const Proxy& s) { return s.path == path; }) -
           parts.services.begin();
  };
  for (const auto& proxy : proxies) {
    if (proxy.interface->name != characteristicInterface) continue;
    const std::string* service = pathProperty(proxy, "Service");
    if (service == nullptr) return fail("Failed to obtain service path for characteristic");
    auto index = static_cast<std::size_t>(serviceIndex(*service));
    if (index == parts.services.size())
      return fail("Unable to find service for characteristic: " + std::string(proxy.path));
    const auto* flags = flagsOf(proxy);
    if (flags == nullptr) return fail(std::string("Failed to parse characteristic properties"));
    GattCharacteristic c;
    c.path = proxy.path;
    c.service = *service;
    c.flags = *flags;
    c.hasWriteAcquired = property(proxy, "WriteAcquired") != nullptr;
    c.hasNotifyAcquired = property(proxy, "NotifyAcquired") != nullptr;
    c.hasNotifying = property(proxy, "Notifying") != nullptr;
    std::string reason;
    if (!applyFlags(c, reason)) return fail(reason);
    parts.characteristics[index].emplace_back(proxy, std::move(c));
  }
  for (const auto& proxy : proxies) {
    if (proxy.interface->name != descriptorInterface) continue;
    const std::string* characteristic = pathProperty(proxy, "Characteristic");
    if (characteristic == nullptr)
      return fail("Failed to obtain characteristic path for descriptor");
    bool known = std::any_of(
        parts.characteristics.begin(), parts.characteristics.end(), [&](const auto& list) {
          return std::any_of(list.begin(), list.end(),
                             [&](const auto& c) { return c.second.path == *characteristic; });
        });
    if (!known) return fail("Unable to find service for characteristic: " + *characteristic);
    const auto* flags = flagsOf(proxy);
    if (flags == nullptr) return fail(std::string("Failed to parse characteristic properties"));
    for (const auto& flag : *flags) {
      if (std::find(std::begin(descriptorFlags), std::end(descriptorFlags), flag) ==
          std::end(descriptorFlags)) {
        return fail("Invalid descriptor flag: " + flag);
      }
    }
    parts.descriptors.emplace_back(
        proxy, GattDescriptor{std::string(proxy.path), "", *characteristic, *flags});
  }
  if (parts.services.empty()) return fail(std::string("No valid external GATT objects found"));
  return parts;
}

std::string uuidOf(const Proxy& proxy) { return property(proxy, "UUID")->value; }

}  // namespace

Result<GattApplication, GattRefusal> readGattApplication(const std::vector<DBusObject>& objects) {
  std::vector<Proxy> proxies;
  for (const auto& object : objects) {
    for (const auto& interface : object.interfaces) {
      if (interface.name != "org.freedesktop.DBus.Introspectable" &&
          interface.name != "org.freedesktop.DBus.Properties") {
        proxies.push_back({object.path, &interface});
      }
    }
  }
  if (proxies.empty()) return refuse("No object received", "No object received");
  auto parts = collect(proxies);
  if (!parts) return refuse("No valid service object found", parts.error());

  // bluetoothd's database_add_app: each service, then its characteristics
  // and their descriptors.
  const std::string databaseFailure = "Failed to create entry in database";
  GattApplication app;
  for (std::size_t i = 0; i < parts.value().services.size(); ++i) {
    const Proxy& service = parts.value().services[i];
    const std::string at = " of " + std::string(service.path);
    if (!takesUuid(service)) return refuse(databaseFailure, "Failed to read \"UUID\"" + at);
    const DBusProperty* primary = property(service, "Primary");
    if (primary == nullptr || primary->type != "b")
      return refuse(databaseFailure, "Failed to read \"Primary\"" + at);
    if (!takesIncludes(service)) return refuse(databaseFailure, "Failed to read \"Includes\"" + at);
    if (!takesHandle(service)) return refuse(databaseFailure, "Failed to read \"Handle\"" + at);
    app.services.push_back({std::string(service.path), uuidOf(service), primary->value == "true"});
    for (auto& [proxy, characteristic] : parts.value().characteristics[i]) {
      const std::string of = " of " + characteristic.path;
      if (!takesHandle(proxy)) return refuse(databaseFailure, "Failed to read \"Handle\"" + of);
      if (!takesUuid(proxy)) return refuse(databaseFailure, "Failed to read \"UUID\"" + of);
      characteristic.uuid = uuidOf(proxy);
      for (auto& [descriptorProxy, descriptor] : parts.value().descriptors) {
        if (descriptor.characteristic != characteristic.path) continue;
        const std::string ofDescriptor = " of " + descriptor.path;
        if (!takesHandle(descriptorProxy))
          return refuse(databaseFailure, "Failed to read \"Handle\"" + ofDescriptor);
        if (!takesUuid(descriptorProxy))
          return refuse(databaseFailure, "Failed to read \"UUID\"" + ofDescriptor);
        descriptor.uuid = uuidOf(descriptorProxy);
        app.descriptors.push_back(descriptor);
      }
      app.characteristics.push_back(std::move(characteristic));
    }
  }
  return app;
}

}  // namespace harlo::bluez_sim
