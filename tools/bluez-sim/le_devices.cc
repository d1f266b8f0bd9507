#include "le_devices.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string_view>

#include "log.h"

namespace harlo::bluez_sim {

// One device object.
struct LeDevices::Device : LeDevice {
  LeDevices* owner = nullptr;
  sd_bus_slot* object = nullptr;
  // One-shot, enabled by a change: it announces `pending` after the call
  // that caused the change has been answered.
  sd_event_source* announce = nullptr;
  std::vector<std::string> pending;

  ~Device() {
    sd_event_source_disable_unref(announce);
    sd_bus_slot_unref(object);
  }
};

namespace {

constexpr const char* deviceInterface = "org.bluez.Device1";

// The n-th LE device's address, 00:00:01 above the RFCOMM clients' 00:00:00.
std::string addressOf(unsigned number) {
  char address[18];
  std::snprintf(address, sizeof address, "00:00:01:%02X:%02X:%02X", (number >> 16) & 0xFF,
                (number >> 8) & 0xFF, number & 0xFF);
  return address;
}

std::string withSeparator(std::string address, char separator) {
  std::replace(address.begin(), address.end(), ':', separator);
  return address;
}

}  // namespace

LeDevices::LeDevices(sd_event* event, sd_bus* bus) : event_(event), bus_(bus) {}

std::unique_ptr<LeDevices> LeDevices::create(sd_event* event, sd_bus* bus) {
  return std::unique_ptr<LeDevices>(new LeDevices(event, bus));
}

LeDevices::~LeDevices() { devices_.clear(); }

const sd_bus_vtable* LeDevices::vtable() {
  constexpr auto emits = SD_BUS_VTABLE_PROPERTY_EMITS_CHANGE;
  static const sd_bus_vtable table[] = {
      SD_BUS_VTABLE_START(0),
      SD_BUS_PROPERTY("Address", "s", &LeDevices::onGet, 0, SD_BUS_VTABLE_PROPERTY_CONST),
      SD_BUS_PROPERTY("AddressType", "s", &LeDevices::onGet, 0, SD_BUS_VTABLE_PROPERTY_CONST),
      SD_BUS_PROPERTY("Alias", "s", &LeDevices::onGet, 0, SD_BUS_VTABLE_PROPERTY_CONST),
      SD_BUS_PROPERTY("Adapter", "o", &LeDevices::onGet, 0, SD_BUS_VTABLE_PROPERTY_CONST),
      SD_BUS_PROPERTY("Paired", "b", &LeDevices::onGet, 0, emits),
      SD_BUS_PROPERTY("Bonded", "b", &LeDevices::onGet, 0, emits),
      SD_BUS_WRITABLE_PROPERTY("Trusted", "b", &LeDevices::onGet, &LeDevices::onSetTrusted, 0,
                               emits | SD_BUS_VTABLE_UNPRIVILEGED),
      SD_BUS_PROPERTY("Connected", "b", &LeDevices::onGet, 0, emits),
      SD_BUS_METHOD("Disconnect", "", "", &LeDevices::onDisconnect, SD_BUS_VTABLE_UNPRIVILEGED),
      SD_BUS_VTABLE_END};
  return table;
}

int LeDevices::onGet(sd_bus*, const char*, const char*, const char* property, sd_bus_message* reply,
                     void* data, sd_bus_error*) {
  const auto& device = *static_cast<const Device*>(data);
  std::string_view name = property;
  if (name == "Address") return sd_bus_message_append(reply, "s", device.address.c_str());
  if (name == "AddressType") return sd_bus_message_append(reply, "s", "public");
  if (name == "Alias")
    return sd_bus_message_append(reply, "s", withSeparator(device.address, '-').c_str());
  if (name == "Adapter") return sd_bus_message_append(reply, "o", device.adapter.c_str());
  bool value = name == "Trusted"     ? device.trusted
               : name == "Connected" ? device.connected
                                     : device.bonded;
  return sd_bus_message_append(reply, "b", value ? 1 : 0);
}

int LeDevices::onSetTrusted(sd_bus*, const char*, const char*, const char*, sd_bus_message* value,
                            void* data, sd_bus_error*) {
  auto& device = *static_cast<Device*>(data);
  int trusted = 0;
  int r = sd_bus_message_read(value, "b", &trusted);
  if (r < 0) return r;
  device.trusted = trusted != 0;
  logLine(device.label() + ": Trusted set to " + (device.trusted ? "true" : "false"));
  device.owner->changed(device, "Trusted");
  return 0;
}

int LeDevices::onDisconnect(sd_bus_message* message, void* data, sd_bus_error*) {
  auto& device = *static_cast<Device*>(data);
  const char* sender = sd_bus_message_get_sender(message);
  device.owner->disconnect(
      device.path, std::string("Device1.Disconnect from ") + (sender != nullptr ? sender : "?"));
  return sd_bus_reply_method_return(message, "");
}

int LeDevices::onAnnounce(sd_event_source*, void* data) {
  auto& device = *static_cast<Device*>(data);
  std::vector<char*> names;
  for (auto& name : device.pending) names.push_back(name.data());
  names.push_back(nullptr);
  int r = sd_bus_emit_properties_changed_strv(device.owner->bus_, device.path.c_str(),
                                              deviceInterface, names.data());
  if (r < 0) logWarning("could not announce a change of " + device.path + ": " + std::strerror(-r));
  device.pending.clear();
  return 0;
}

void LeDevices::changed(Device& device, const char* property) {
  if (std::find(device.pending.begin(), device.pending.end(), property) == device.pending.end())
    device.pending.emplace_back(property);
  int r = sd_event_source_set_enabled(device.announce, SD_EVENT_ONESHOT);
  if (r < 0) logWarning("could not schedule PropertiesChanged on " + device.path);
}

Result<const LeDevice*, int> LeDevices::connect(const std::string& adapter, std::uint16_t mtu,
                                                bool bonded, bool trusted) {
  auto device = std::make_unique<Device>();
  static_cast<LeDevice&>(*device) = LeDevice{
      connections_ + 1, "", addressOf(connections_ + 1), adapter, mtu, bonded, trusted, true};
  device->path = adapter + "/dev_" + withSeparator(device->address, '_');
  device->owner = this;
  int r = sd_bus_add_object_vtable(bus_, &device->object, device->path.c_str(), deviceInterface,
                                   vtable(), device.get());
  if (r >= 0)
    r = sd_event_add_defer(event_, &device->announce, &LeDevices::onAnnounce, device.get());
  if (r >= 0) r = sd_event_source_set_enabled(device->announce, SD_EVENT_OFF);
  if (r < 0) return fail(r);
  ++connections_;
  const Device& added = *devices_.emplace_back(std::move(device));
  if ((r = sd_bus_emit_object_added(bus_, added.path.c_str())) < 0)
    logWarning("could not announce " + added.path + ": " + std::strerror(-r));
  logLine(added.label() + ": " + added.path + " connected through " + adapter + ", MTU " +
          std::to_string(mtu) + (bonded ? ", bonded" : ", not bonded") +
          (trusted ? ", trusted" : ", not trusted"));
  return &added;
}

LeDevices::Device* LeDevices::lookup(const std::string& path) const {
  auto it = std::find_if(devices_.begin(), devices_.end(),
                         [&](const auto& device) { return device->path == path; });
  return it == devices_.end() ? nullptr : it->get();
}

const LeDevice* LeDevices::find(const std::string& path) const { return lookup(path); }

bool LeDevices::reconnect(const std::string& path) {
  Device* device = lookup(path);
  if (device == nullptr || device->connected) return false;
  device->connected = true;
  logLine(device->label() + ": " + device->path + " connected again");
  changed(*device, "Connected");
  return true;
}

bool LeDevices::disconnect(const std::string& path, const std::string& why) {
  Device* device = lookup(path);
  if (device == nullptr || !device->connected) return false;
  device->connected = false;
  logLine(device->label() + ": " + device->path + " disconnected: " + why);
  changed(*device, "Connected");
  if (onLinkDropped_) onLinkDropped_(*device);
  return true;
}

AdapterWatch LeDevices::watch() {
  AdapterWatch watch;
  watch.linksLost = [this](const std::string& adapter) {
    for (const auto& device : devices_) {
      if (device->adapter == adapter) disconnect(device->path, "its adapter dropped its links");
    }
  };
  watch.removing = [this](const std::string& adapter) {
    std::vector<std::unique_ptr<Device>> kept;
    for (auto& device : devices_) {
      if (device->adapter != adapter) {
        kept.push_back(std::move(device));
        continue;
      }
      int pending = SD_EVENT_OFF;
      if (sd_event_source_get_enabled(device->announce, &pending) >= 0 && pending != SD_EVENT_OFF)
        onAnnounce(device->announce, device.get());
      int r = sd_bus_emit_object_removed(bus_, device->path.c_str());
      if (r < 0)
        logWarning("could not announce the removal of " + device->path + ": " + std::strerror(-r));
      logLine(device->label() + ": " + device->path + " removed with its adapter");
    }
    devices_ = std::move(kept);
  };
  return watch;
}

}  // namespace harlo::bluez_sim
