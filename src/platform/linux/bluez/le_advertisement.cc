#include "platform/linux/bluez/le_advertisement.h"

#include <utility>

#include "platform/linux/bluez/bluez_names.h"

namespace harlo::platform {

LowEnergyAdvertisement::LowEnergyAdvertisement(std::shared_ptr<BusConnection> connection, Log& log,
                                               const ServiceDescription& description)
    : connection_(std::move(connection)),
      log_(log),
      uuid_(uuidText(description.uuid)),
      name_(description.name) {}

Result<std::unique_ptr<LowEnergyAdvertisement>, Status> LowEnergyAdvertisement::exportOn(
    std::shared_ptr<BusConnection> connection, Log& log, const ServiceDescription& description) {
  sd_bus* bus = connection->bus();
  std::unique_ptr<LowEnergyAdvertisement> advertisement(
      new LowEnergyAdvertisement(std::move(connection), log, description));
  const int r =
      systemd().sd_bus_add_object_vtable(bus, &advertisement->slot_, advertisementPath,
                                         advertisementInterface, vtable(), advertisement.get());
  if (r < 0) return fail(Status{r});
  return advertisement;
}

LowEnergyAdvertisement::~LowEnergyAdvertisement() { systemd().sd_bus_slot_unref(slot_); }

const sd_bus_vtable* LowEnergyAdvertisement::vtable() {
  static const sd_bus_vtable table[] = {
      exportedVtableStart(0),
      SD_BUS_PROPERTY(
          "Type", "s",
          [](sd_bus*, const char*, const char*, const char*, sd_bus_message* reply, void*,
             sd_bus_error*) { return systemd().sd_bus_message_append(reply, "s", "peripheral"); },
          0, SD_BUS_VTABLE_PROPERTY_CONST),
      SD_BUS_PROPERTY(
          "ServiceUUIDs", "as",
          [](sd_bus*, const char*, const char*, const char*, sd_bus_message* reply, void* self,
             sd_bus_error*) {
            return systemd().sd_bus_message_append(
                reply, "as", 1, static_cast<LowEnergyAdvertisement*>(self)->uuid_.c_str());
          },
          0, SD_BUS_VTABLE_PROPERTY_CONST),
      SD_BUS_PROPERTY(
          "LocalName", "s",
          [](sd_bus*, const char*, const char*, const char*, sd_bus_message* reply, void* self,
             sd_bus_error*) {
            return systemd().sd_bus_message_append(
                reply, "s", static_cast<LowEnergyAdvertisement*>(self)->name_.c_str());
          },
          0, SD_BUS_VTABLE_PROPERTY_CONST),
      SD_BUS_PROPERTY(
          "Discoverable", "b",
          [](sd_bus*, const char*, const char*, const char*, sd_bus_message* reply, void*,
             sd_bus_error*) { return systemd().sd_bus_message_append(reply, "b", 1); },
          0, SD_BUS_VTABLE_PROPERTY_CONST),
      SD_BUS_METHOD("Release", "", "", &LowEnergyAdvertisement::onRelease,
                    SD_BUS_VTABLE_UNPRIVILEGED),
      SD_BUS_VTABLE_END,
  };
  return table;
}

int LowEnergyAdvertisement::onRelease(sd_bus_message* call, void* userdata, sd_bus_error*) {
  auto& self = *static_cast<LowEnergyAdvertisement*>(userdata);
  const char* sender = systemd().sd_bus_message_get_sender(call);
  if (self.connection_->isBluezOwner(sender)) {
    self.log_.write(Log::Level::notice, "bluetoothd released the BLE advertisement");
  } else {
    self.log_.write(Log::Level::warning, std::string("ignored an advertisement release asked by ") +
                                             (sender != nullptr ? sender : "an unnamed sender") +
                                             ", which is not bluetoothd (the owner of org.bluez)");
  }
  return systemd().sd_bus_reply_method_return(call, "");
}

}  // namespace harlo::platform
