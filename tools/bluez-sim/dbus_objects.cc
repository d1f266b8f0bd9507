#include "dbus_objects.h"

#include <systemd/sd-bus.h>

#include <cerrno>
#include <cstring>

#include "dbus_options.h"

namespace harlo::bluez_sim {
namespace {

bool isBasicType(char type) {
  return type != '\0' && std::strchr("ybnqiuxtdsogh", type) != nullptr;
}

// Reads the variant's contents, of signature `contents`, into `property`.
int readContents(sd_bus_message* m, const char* contents, DBusProperty& property) {
  if (contents[0] != 'a' || !isBasicType(contents[1]) || contents[2] != '\0') {
    auto value = readValueText(m);
    if (!value) return value.error();
    property.value = std::move(value.value());
    return 0;
  }
  int r = sd_bus_message_enter_container(m, 'a', contents + 1);
  if (r < 0) return r;
  while ((r = sd_bus_message_at_end(m, 0)) == 0) {
    auto item = readValueText(m);
    if (!item) return item.error();
    property.items.push_back(std::move(item.value()));
  }
  if (r < 0) return r;
  std::string text(1, '[');
  for (std::size_t i = 0; i < property.items.size(); ++i)
    text.append(i == 0 ? "" : ", ").append(property.items[i]);
  property.value = text.append(1, ']');
  return sd_bus_message_exit_container(m);
}

int readDict(sd_bus_message* m, std::vector<DBusProperty>& properties) {
  int r = sd_bus_message_enter_container(m, 'a', "{sv}");
  if (r <= 0) return r < 0 ? r : -EBADMSG;
  while ((r = sd_bus_message_enter_container(m, 'e', "sv")) > 0) {
    const char* name = nullptr;
    const char* contents = nullptr;
    char type = 0;
    if ((r = sd_bus_message_read_basic(m, 's', &name)) < 0) return r;
    if ((r = sd_bus_message_peek_type(m, &type, &contents)) < 0) return r;
    if ((r = sd_bus_message_enter_container(m, 'v', contents)) < 0) return r;
    DBusProperty property{name, contents, {}, {}};
    if ((r = readContents(m, contents, property)) < 0) return r;
    properties.push_back(std::move(property));
    if ((r = sd_bus_message_exit_container(m)) < 0) return r;
    if ((r = sd_bus_message_exit_container(m)) < 0) return r;
  }
  return r < 0 ? r : sd_bus_message_exit_container(m);
}

int readInterfaces(sd_bus_message* m, std::vector<DBusInterface>& interfaces) {
  int r = sd_bus_message_enter_container(m, 'a', "{sa{sv}}");
  if (r <= 0) return r < 0 ? r : -EBADMSG;
  while ((r = sd_bus_message_enter_container(m, 'e', "sa{sv}")) > 0) {
    const char* name = nullptr;
    if ((r = sd_bus_message_read_basic(m, 's', &name)) < 0) return r;
    DBusInterface interface {
      name, {}
    };
    if ((r = readDict(m, interface.properties)) < 0) return r;
    interfaces.push_back(std::move(interface));
    if ((r = sd_bus_message_exit_container(m)) < 0) return r;
  }
  return r < 0 ? r : sd_bus_message_exit_container(m);
}

}  // namespace

Result<std::vector<DBusProperty>, int> readPropertyDict(sd_bus_message* message) {
  std::vector<DBusProperty> properties;
  int r = readDict(message, properties);
  if (r < 0) return fail(r);
  return properties;
}

Result<std::vector<DBusObject>, int> readManagedObjects(sd_bus_message* m) {
  std::vector<DBusObject> objects;
  int r = sd_bus_message_enter_container(m, 'a', "{oa{sa{sv}}}");
  if (r <= 0) return fail(r < 0 ? r : -EBADMSG);
  while ((r = sd_bus_message_enter_container(m, 'e', "oa{sa{sv}}")) > 0) {
    const char* path = nullptr;
    if ((r = sd_bus_message_read_basic(m, 'o', &path)) < 0) return fail(r);
    DBusObject object{path, {}};
    if ((r = readInterfaces(m, object.interfaces)) < 0) return fail(r);
    objects.push_back(std::move(object));
    if ((r = sd_bus_message_exit_container(m)) < 0) return fail(r);
  }
  if (r < 0 || (r = sd_bus_message_exit_container(m)) < 0) return fail(r);
  return objects;
}

const DBusProperty* findProperty(const std::vector<DBusProperty>& properties,
                                 std::string_view name) {
  for (const auto& property : properties) {
    if (property.name == name) return &property;
  }
  return nullptr;
}

}  // namespace harlo::bluez_sim
