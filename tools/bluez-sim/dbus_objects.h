// Reading what an application tells bluetoothd about its objects: the
// answer to ObjectManager.GetManagedObjects (a{oa{sa{sv}}}) and to
// Properties.GetAll (a{sv}), in the order sent.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "base/result.h"

struct sd_bus_message;

namespace harlo::bluez_sim {

// One property: its name, the D-Bus signature of its value, the value as
// text (rendered as ProfileOption renders an option's value), and, for an
// array of a basic type ("as", "ao", "ay", ...), each element as text (a
// string as is, a number in decimal, a boolean "true" or "false").
struct DBusProperty {
  std::string name;
  std::string type;
  std::string value;
  std::vector<std::string> items;

  bool operator==(const DBusProperty&) const = default;
};

struct DBusInterface {
  std::string name;
  std::vector<DBusProperty> properties;

  bool operator==(const DBusInterface&) const = default;
};

struct DBusObject {
  std::string path;
  std::vector<DBusInterface> interfaces;

  bool operator==(const DBusObject&) const = default;
};

// Reads an a{sv} at the message's read position. Fails with a negative
// errno when the message does not hold one there.
Result<std::vector<DBusProperty>, int> readPropertyDict(sd_bus_message* message);

// Reads an a{oa{sa{sv}}} at the message's read position. Fails with a
// negative errno when the message does not hold one there.
Result<std::vector<DBusObject>, int> readManagedObjects(sd_bus_message* message);

// The property `name` of `properties`, or nullptr.
const DBusProperty* findProperty(const std::vector<DBusProperty>& properties,
                                 std::string_view name);

}  // namespace harlo::bluez_sim
