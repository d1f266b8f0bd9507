#include "adapters.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string_view>

#include "log.h"

namespace harlo::bluez_sim {

// One adapter object.
struct Adapters::Adapter {
  Adapters* owner;
  unsigned index;
  std::string path;
  std::string address;
  bool powered;
  sd_bus_slot* object = nullptr;
  // One-shot, enabled by a change of Powered: bluetoothd announces the change
  // after answering the call, and a later turn of the loop runs after the
  // answer has been queued.
  sd_event_source* announce = nullptr;

  ~Adapter() {
    sd_event_source_disable_unref(announce);
    sd_bus_slot_unref(object);
  }
};

namespace {

constexpr const char* adapterInterface = "org.bluez.Adapter1";
constexpr const char* adapterName = "bluez-sim";
constexpr unsigned maxAdapters = 256;

std::string addressOf(unsigned index) {
  char address[18];
  std::snprintf(address, sizeof address, "00:AA:BB:CC:DD:%02X", index);
  return address;
}

}  // namespace

Adapters::Adapters(sd_event* event, sd_bus* bus) : event_(event), bus_(bus) {}

Result<std::unique_ptr<Adapters>, int> Adapters::create(sd_event* event, sd_bus* bus) {
  std::unique_ptr<Adapters> adapters(new Adapters(event, bus));
  int r = sd_bus_add_object_manager(bus, &adapters->managerSlot_, "/");
  if (r < 0) return fail(r);
  return adapters;
}

Adapters::~Adapters() {
  adapters_.clear();
  sd_bus_slot_unref(managerSlot_);
}

const sd_bus_vtable* Adapters::vtable() {
  static const sd_bus_vtable table[] = {
      SD_BUS_VTABLE_START(0),
      SD_BUS_PROPERTY("Address", "s", &Adapters::onGet, 0, SD_BUS_VTABLE_PROPERTY_CONST),
      SD_BUS_PROPERTY("AddressType", "s", &Adapters::onGet, 0, SD_BUS_VTABLE_PROPERTY_CONST),
      SD_BUS_PROPERTY("Name", "s", &Adapters::onGet, 0, SD_BUS_VTABLE_PROPERTY_CONST),
      SD_BUS_PROPERTY("Alias", "s", &Adapters::onGet, 0, SD_BUS_VTABLE_PROPERTY_CONST),
      SD_BUS_WRITABLE_PROPERTY("Powered", "b", &Adapters::onGet, &Adapters::onSetPowered, 0,
                               SD_BUS_VTABLE_PROPERTY_EMITS_CHANGE | SD_BUS_VTABLE_UNPRIVILEGED),
      SD_BUS_VTABLE_END};
  return table;
}

int Adapters::onGet(sd_bus*, const char*, const char*, const char* property, sd_bus_message* reply,
                    void* data, sd_bus_error*) {
  const auto* adapter = static_cast<const Adapter*>(data);
  std::string_view name = property;
  if (name == "Powered") return sd_bus_message_append(reply, "b", adapter->powered ? 1 : 0);
  const char* text = name == "Address"       ? adapter->address.c_str()
                     : name == "AddressType" ? "public"
                                             : adapterName;
  return sd_bus_message_append(reply, "s", text);
}

int Adapters::onSetPowered(sd_bus*, const char*, const char*, const char*, sd_bus_message* value,
                           void* data, sd_bus_error*) {
  auto* adapter = static_cast<Adapter*>(data);
  int powered = 0;
  int r = sd_bus_message_read(value, "b", &powered);
  if (r < 0) return r;
  adapter->owner->setPowered(*adapter, powered != 0);
  return 0;
}

int Adapters::onAnnounce(sd_event_source*, void* data) {
  const auto* adapter = static_cast<const Adapter*>(data);
  int r = sd_bus_emit_properties_changed(adapter->owner->bus_, adapter->path.c_str(),
                                         adapterInterface, "Powered", nullptr);
  if (r < 0)
    logWarning("could not announce Powered of " + adapter->path + ": " + std::strerror(-r));
  return 0;
}

Result<std::string, int> Adapters::add(bool powered) {
  unsigned index = 0;
  auto at = adapters_.begin();
  for (; at != adapters_.end() && (*at)->index == index; ++at) ++index;
  if (index == maxAdapters) return fail(-ENOSPC);
  std::unique_ptr<Adapter> adapter(new Adapter{
      this, index, "/org/bluez/hci" + std::to_string(index), addressOf(index), powered});
  int r = sd_bus_add_object_vtable(bus_, &adapter->object, adapter->path.c_str(), adapterInterface,
                                   vtable(), adapter.get());
  if (r >= 0)
    r = sd_event_add_defer(event_, &adapter->announce, &Adapters::onAnnounce, adapter.get());
  if (r >= 0) r = sd_event_source_set_enabled(adapter->announce, SD_EVENT_OFF);
  if (r < 0) return fail(r);
  const Adapter& added = **adapters_.insert(at, std::move(adapter));
  notify(&AdapterWatch::added, added.path);
  if ((r = sd_bus_emit_object_added(bus_, added.path.c_str())) < 0)
    logWarning("could not announce " + added.path + ": " + std::strerror(-r));
  logLine("adapter " + added.path + " added, " + (powered ? "powered" : "unpowered"));
  return added.path;
}

bool Adapters::remove(const std::string& path) {
  auto it = std::find_if(adapters_.begin(), adapters_.end(),
                         [&](const auto& adapter) { return adapter->path == path; });
  if (it == adapters_.end()) return false;
  Adapter& adapter = **it;
  if (adapter.powered) notify(&AdapterWatch::linksLost, path);
  notify(&AdapterWatch::removing, path);
  // A change of Powered not announced yet (a Set and this call taken in a
  // row) goes out first, as bluetoothd flushes pending changes before an
  // object goes.
  int pending = SD_EVENT_OFF;
  if (sd_event_source_get_enabled(adapter.announce, &pending) >= 0 && pending != SD_EVENT_OFF)
    onAnnounce(adapter.announce, &adapter);
  int r = sd_bus_emit_object_removed(bus_, path.c_str());
  if (r < 0) logWarning("could not announce the removal of " + path + ": " + std::strerror(-r));
  adapters_.erase(it);
  notify(&AdapterWatch::removed, path);
  logLine("adapter " + path + " removed");
  return true;
}

std::optional<std::string> Adapters::poweredAdapter() const {
  for (const auto& adapter : adapters_) {
    if (adapter->powered) return adapter->path;
  }
  return std::nullopt;
}

std::vector<std::string> Adapters::poweredAdapters() const {
  std::vector<std::string> powered;
  for (const auto& adapter : adapters_) {
    if (adapter->powered) powered.push_back(adapter->path);
  }
  return powered;
}

void Adapters::notify(std::function<void(const std::string&)> AdapterWatch::*event,
                      const std::string& path) const {
  for (const auto& watch : watches_) {
    if (watch.*event) (watch.*event)(path);
  }
}

void Adapters::setPowered(Adapter& adapter, bool powered) {
  if (adapter.powered == powered) return;
  adapter.powered = powered;
  logLine("adapter " + adapter.path + " powered " + (powered ? "on" : "off"));
  if (!powered) notify(&AdapterWatch::linksLost, adapter.path);
  int r = sd_event_source_set_enabled(adapter.announce, SD_EVENT_ONESHOT);
  if (r < 0) logWarning("could not schedule PropertiesChanged on " + adapter.path);
}

}  // namespace harlo::bluez_sim
