#include "platform/linux/bluez/adapter_watch.h"

#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "platform/linux/bluez/bluez_names.h"
#include "platform/linux/bluez/bus_timeouts.h"

namespace harlo::platform {
namespace {

constexpr const char* objectManagerPath = "/";
constexpr const char* objectManagerInterface = "org.freedesktop.DBus.ObjectManager";

// The signals of bluetoothd that move adapters. The bus delivers what these
// name; the handlers check the sender again, as the owner may change.
constexpr const char* addedRule =
    "type='signal',sender='org.bluez',path='/',"
    "interface='org.freedesktop.DBus.ObjectManager',member='InterfacesAdded'";
constexpr const char* removedRule =
    "type='signal',sender='org.bluez',path='/',"
    "interface='org.freedesktop.DBus.ObjectManager',member='InterfacesRemoved'";
constexpr const char* changedRule =
    "type='signal',sender='org.bluez',interface='org.freedesktop.DBus.Properties',"
    "member='PropertiesChanged',arg0='org.bluez.Adapter1'";

// Each reader below returns a negative errno when the message does not have
// the shape it reads, and leaves the message after what it read otherwise.

int enter(sd_bus_message* message, char type, const char* contents) {
  return systemd().sd_bus_message_enter_container(message, type, contents);
}

int leave(sd_bus_message* message) { return systemd().sd_bus_message_exit_container(message); }

// One property of an a{sv}: Address and Powered of their documented types
// are kept, anything else skipped.
int readProperty(sd_bus_message* message, AdapterProperties& properties) {
  const char* name = nullptr;
  int r = systemd().sd_bus_message_read(message, "s", &name);
  if (r < 0) return r;
  char type = 0;
  const char* contents = nullptr;
  r = systemd().sd_bus_message_peek_type(message, &type, &contents);
  if (r < 0) return r;
  const std::string_view key = name;
  const std::string_view held = contents != nullptr ? contents : "";
  if (key == "Address" && held == "s") {
    const char* address = nullptr;
    r = systemd().sd_bus_message_read(message, "v", "s", &address);
    if (r >= 0) properties.address = address;
  } else if (key == "Powered" && held == "b") {
    int powered = 0;
    r = systemd().sd_bus_message_read(message, "v", "b", &powered);
    if (r >= 0) properties.powered = powered != 0;
  } else {
    r = systemd().sd_bus_message_skip(message, "v");
  }
  return r;
}

// An a{sv} of org.bluez.Adapter1 properties.
int readProperties(sd_bus_message* message, AdapterProperties& properties) {
  int r = enter(message, SD_BUS_TYPE_ARRAY, "{sv}");
  if (r < 0) return r;
  while ((r = enter(message, SD_BUS_TYPE_DICT_ENTRY, "sv")) > 0) {
    if ((r = readProperty(message, properties)) < 0 || (r = leave(message)) < 0) return r;
  }
  return r < 0 ? r : leave(message);
}

// An object's a{sa{sv}} of interfaces: the adapter properties if one of them
// is org.bluez.Adapter1.
int readInterfaces(sd_bus_message* message, std::optional<AdapterProperties>& adapter) {
  int r = enter(message, SD_BUS_TYPE_ARRAY, "{sa{sv}}");
  if (r < 0) return r;
  while ((r = enter(message, SD_BUS_TYPE_DICT_ENTRY, "sa{sv}")) > 0) {
    const char* interface = nullptr;
    if ((r = systemd().sd_bus_message_read(message, "s", &interface)) < 0) return r;
    if (std::string_view(interface) == adapterInterface) {
      r = readProperties(message, adapter.emplace());
    } else {
      r = systemd().sd_bus_message_skip(message, "a{sv}");
    }
    if (r < 0 || (r = leave(message)) < 0) return r;
  }
  return r < 0 ? r : leave(message);
}

// The answer to GetManagedObjects, a{oa{sa{sv}}}: every adapter in it.
int readManagedObjects(sd_bus_message* message,
                       std::vector<std::pair<std::string, AdapterProperties>>& adapters) {
  int r = enter(message, SD_BUS_TYPE_ARRAY, "{oa{sa{sv}}}");
  if (r < 0) return r;
  while ((r = enter(message, SD_BUS_TYPE_DICT_ENTRY, "oa{sa{sv}}")) > 0) {
    const char* path = nullptr;
    if ((r = systemd().sd_bus_message_read(message, "o", &path)) < 0) return r;
    std::string object = path;
    std::optional<AdapterProperties> adapter;
    if ((r = readInterfaces(message, adapter)) < 0 || (r = leave(message)) < 0) return r;
    if (adapter) adapters.emplace_back(std::move(object), std::move(*adapter));
  }
  return r < 0 ? r : leave(message);
}

// The message's serial, cut to the 32 bits D-Bus gives it.
std::uint32_t serialOf(sd_bus_message* message) {
  std::uint64_t cookie = 0;
  (void)systemd().sd_bus_message_get_cookie(message, &cookie);  // every received message has one
  return static_cast<std::uint32_t>(cookie);
}

}  // namespace

Result<std::unique_ptr<AdapterWatch>, Status> AdapterWatch::start(
    std::shared_ptr<BusConnection> connection) {
  std::unique_ptr<AdapterWatch> watch(new AdapterWatch(std::move(connection)));
  for (const auto& [rule, handler] : {std::pair{addedRule, &AdapterWatch::onInterfacesAdded},
                                      std::pair{removedRule, &AdapterWatch::onInterfacesRemoved},
                                      std::pair{changedRule, &AdapterWatch::onPropertiesChanged}}) {
    const Status matched = watch->match(rule, handler);
    if (matched < 0) return fail(matched);
  }
  return watch;
}

AdapterWatch::~AdapterWatch() {
  for (sd_bus_slot* slot : matches_) systemd().sd_bus_slot_unref(slot);
}

Status AdapterWatch::match(const char* rule, sd_bus_message_handler_t handler) {
  sd_bus_slot* slot = nullptr;
  const int matched = systemd().sd_bus_add_match(connection_->bus(), &slot, rule, handler, this);
  if (matched < 0) return matched;
  matches_.push_back(slot);
  return statusOK;
}

// The matches are in place before the question, so that no change can fall
// between the answer and the first signal after it.
void AdapterWatch::read() {
  table_.forget();
  if (!connection_->bluezPresent()) return;
  const auto answer = connection_->call(bluezService, objectManagerPath, objectManagerInterface,
                                        "GetManagedObjects", answerTimeoutUsec);
  if (!answer) return;
  sd_bus_message* reply = answer.value().get();
  std::vector<std::pair<std::string, AdapterProperties>> adapters;
  if (readManagedObjects(reply, adapters) < 0) return;
  table_.replace(adapters, serialOf(reply));
}

bool AdapterWatch::fromBluez(sd_bus_message* signal) const {
  return connection_->isBluezOwner(systemd().sd_bus_message_get_sender(signal));
}

int AdapterWatch::onInterfacesAdded(sd_bus_message* signal, void* userdata, sd_bus_error*) {
  auto& self = *static_cast<AdapterWatch*>(userdata);
  if (!self.fromBluez(signal)) return 0;
  const char* path = nullptr;
  if (systemd().sd_bus_message_read(signal, "o", &path) < 0) return 0;
  const std::string object = path;
  std::optional<AdapterProperties> adapter;
  if (readInterfaces(signal, adapter) < 0 || !adapter) return 0;
  self.table_.added(object, *adapter, serialOf(signal));
  if (self.changed_) self.changed_();
  return 0;
}

int AdapterWatch::onInterfacesRemoved(sd_bus_message* signal, void* userdata, sd_bus_error*) {
  auto& self = *static_cast<AdapterWatch*>(userdata);
  if (!self.fromBluez(signal)) return 0;
  const char* path = nullptr;
  if (systemd().sd_bus_message_read(signal, "o", &path) < 0) return 0;
  const std::string object = path;
  if (enter(signal, SD_BUS_TYPE_ARRAY, "s") < 0) return 0;
  bool wasAdapter = false;
  const char* interface = nullptr;
  int r = 0;
  while ((r = systemd().sd_bus_message_read(signal, "s", &interface)) > 0) {
    wasAdapter = wasAdapter || std::string_view(interface) == adapterInterface;
  }
  if (r < 0 || !wasAdapter) return 0;
  self.table_.removed(object, serialOf(signal));
  if (self.changed_) self.changed_();
  return 0;
}

int AdapterWatch::onPropertiesChanged(sd_bus_message* signal, void* userdata, sd_bus_error*) {
  auto& self = *static_cast<AdapterWatch*>(userdata);
  if (!self.fromBluez(signal)) return 0;
  const char* path = systemd().sd_bus_message_get_path(signal);
  const char* interface = nullptr;
  if (path == nullptr || systemd().sd_bus_message_read(signal, "s", &interface) < 0) return 0;
  if (std::string_view(interface) != adapterInterface) return 0;
  AdapterProperties properties;
  if (readProperties(signal, properties) < 0) return 0;
  self.table_.changed(path, properties, serialOf(signal));
  if (self.changed_) self.changed_();
  return 0;
}

}  // namespace harlo::platform
