#include "sim_control.h"

#include <cstring>
#include <memory>
#include <string>

namespace harlo::bluez_sim {
namespace {

int replyError(sd_bus_message* message, const SimError& error) {
  return sd_bus_reply_method_errorf(message, error.name.c_str(), "%s", error.message.c_str());
}

int reply(sd_bus_message* message, const Result<void, SimError>& outcome) {
  return outcome ? sd_bus_reply_method_return(message, "") : replyError(message, outcome.error());
}

// Reads the device path that starts the message's arguments.
int readDevice(sd_bus_message* message, std::string& device) {
  const char* path = nullptr;
  int r = sd_bus_message_read(message, "o", &path);
  if (r >= 0) device = path;
  return r;
}

}  // namespace

Result<std::unique_ptr<SimControl>, int> SimControl::create(sd_bus* bus, Adapters& adapters,
                                                            LeClients& clients) {
  std::unique_ptr<SimControl> control(new SimControl(adapters, clients));
  int r = sd_bus_add_object_vtable(bus, &control->objectSlot_, "/org/harlo/BluezSim",
                                   "org.harlo.BluezSim1", vtable(), control.get());
  if (r < 0) return fail(r);
  return control;
}

SimControl::~SimControl() { sd_bus_slot_unref(objectSlot_); }

const sd_bus_vtable* SimControl::vtable() {
  static const sd_bus_vtable table[] = {
      SD_BUS_VTABLE_START(0),
      SD_BUS_METHOD_WITH_NAMES("AddAdapter", "", , "o", SD_BUS_PARAM(adapter),
                               &SimControl::onAddAdapter, SD_BUS_VTABLE_UNPRIVILEGED),
      SD_BUS_METHOD_WITH_NAMES("RemoveAdapter", "o", SD_BUS_PARAM(adapter), "", ,
                               &SimControl::onRemoveAdapter, SD_BUS_VTABLE_UNPRIVILEGED),
      SD_BUS_METHOD_WITH_NAMES(
          "ConnectLowEnergy", "qbb", SD_BUS_PARAM(mtu) SD_BUS_PARAM(bonded) SD_BUS_PARAM(trusted),
          "o", SD_BUS_PARAM(device), &SimControl::onConnectLowEnergy, SD_BUS_VTABLE_UNPRIVILEGED),
      SD_BUS_METHOD_WITH_NAMES("DisconnectLowEnergy", "o", SD_BUS_PARAM(device), "", ,
                               &SimControl::onDisconnectLowEnergy, SD_BUS_VTABLE_UNPRIVILEGED),
      SD_BUS_METHOD_WITH_NAMES("ReconnectLowEnergy", "o", SD_BUS_PARAM(device), "", ,
                               &SimControl::onReconnectLowEnergy, SD_BUS_VTABLE_UNPRIVILEGED),
      SD_BUS_METHOD_WITH_NAMES("Subscribe", "o", SD_BUS_PARAM(device), "", ,
                               &SimControl::onSubscribe, SD_BUS_VTABLE_UNPRIVILEGED),
      SD_BUS_METHOD_WITH_NAMES("Unsubscribe", "o", SD_BUS_PARAM(device), "", ,
                               &SimControl::onUnsubscribe, SD_BUS_VTABLE_UNPRIVILEGED),
      SD_BUS_METHOD_WITH_NAMES("WriteLowEnergy", "oayb",
                               SD_BUS_PARAM(device) SD_BUS_PARAM(value) SD_BUS_PARAM(withResponse),
                               "", , &SimControl::onWriteLowEnergy, SD_BUS_VTABLE_UNPRIVILEGED),
      SD_BUS_METHOD_WITH_NAMES("TakeNotifications", "o", SD_BUS_PARAM(device), "aay",
                               SD_BUS_PARAM(packets), &SimControl::onTakeNotifications,
                               SD_BUS_VTABLE_UNPRIVILEGED),
      SD_BUS_METHOD_WITH_NAMES("SetNotificationsStalled", "b", SD_BUS_PARAM(stalled), "", ,
                               &SimControl::onSetNotificationsStalled, SD_BUS_VTABLE_UNPRIVILEGED),
      SD_BUS_VTABLE_END};
  return table;
}

int SimControl::onAddAdapter(sd_bus_message* message, void* self, sd_bus_error*) {
  auto added = static_cast<SimControl*>(self)->adapters_.add(true);
  if (!added) {
    return sd_bus_reply_method_errorf(message, "org.harlo.BluezSim.Error.Failed", "%s",
                                      std::strerror(-added.error()));
  }
  return sd_bus_reply_method_return(message, "o", added.value().c_str());
}

int SimControl::onRemoveAdapter(sd_bus_message* message, void* self, sd_bus_error*) {
  const char* path = nullptr;
  int r = sd_bus_message_read(message, "o", &path);
  if (r < 0) return r;
  if (!static_cast<SimControl*>(self)->adapters_.remove(path)) {
    return sd_bus_reply_method_errorf(message, "org.harlo.BluezSim.Error.DoesNotExist",
                                      "No adapter at %s", path);
  }
  return sd_bus_reply_method_return(message, "");
}

int SimControl::onConnectLowEnergy(sd_bus_message* message, void* self, sd_bus_error*) {
  std::uint16_t mtu = 0;
  int bonded = 0;
  int trusted = 0;
  int r = sd_bus_message_read(message, "qbb", &mtu, &bonded, &trusted);
  if (r < 0) return r;
  auto device = static_cast<SimControl*>(self)->clients_.connect(mtu, bonded != 0, trusted != 0);
  if (!device) return replyError(message, device.error());
  return sd_bus_reply_method_return(message, "o", device.value().c_str());
}

int SimControl::onDisconnectLowEnergy(sd_bus_message* message, void* self, sd_bus_error*) {
  std::string device;
  int r = readDevice(message, device);
  return r < 0 ? r : reply(message, static_cast<SimControl*>(self)->clients_.disconnect(device));
}

int SimControl::onReconnectLowEnergy(sd_bus_message* message, void* self, sd_bus_error*) {
  std::string device;
  int r = readDevice(message, device);
  return r < 0 ? r : reply(message, static_cast<SimControl*>(self)->clients_.reconnect(device));
}

int SimControl::onSubscribe(sd_bus_message* message, void* self, sd_bus_error*) {
  std::string device;
  int r = readDevice(message, device);
  return r < 0 ? r : reply(message, static_cast<SimControl*>(self)->clients_.subscribe(device));
}

int SimControl::onUnsubscribe(sd_bus_message* message, void* self, sd_bus_error*) {
  std::string device;
  int r = readDevice(message, device);
  return r < 0 ? r : reply(message, static_cast<SimControl*>(self)->clients_.unsubscribe(device));
}

int SimControl::onWriteLowEnergy(sd_bus_message* message, void* self, sd_bus_error*) {
  std::string device;
  const void* bytes = nullptr;
  std::size_t size = 0;
  int withResponse = 0;
  int r = readDevice(message, device);
  if (r >= 0) r = sd_bus_message_read_array(message, 'y', &bytes, &size);
  if (r >= 0) r = sd_bus_message_read(message, "b", &withResponse);
  if (r < 0) return r;
  std::string value =
      size == 0 ? std::string() : std::string(static_cast<const char*>(bytes), size);
  std::shared_ptr<sd_bus_message> call(sd_bus_message_ref(message), &sd_bus_message_unref);
  static_cast<SimControl*>(self)->clients_.write(
      device, std::move(value), withResponse != 0,
      [call](Result<void, SimError> outcome) { reply(call.get(), outcome); });
  return 1;
}

int SimControl::onTakeNotifications(sd_bus_message* message, void* self, sd_bus_error*) {
  std::string device;
  int r = readDevice(message, device);
  if (r < 0) return r;
  auto packets = static_cast<SimControl*>(self)->clients_.takeNotifications(device);
  if (!packets) return replyError(message, packets.error());
  sd_bus_message* answer = nullptr;
  r = sd_bus_message_new_method_return(message, &answer);
  if (r >= 0) r = sd_bus_message_open_container(answer, 'a', "ay");
  for (const auto& packet : packets.value()) {
    if (r >= 0) r = sd_bus_message_append_array(answer, 'y', packet.data(), packet.size());
  }
  if (r >= 0) r = sd_bus_message_close_container(answer);
  if (r >= 0) r = sd_bus_send(nullptr, answer, nullptr);
  sd_bus_message_unref(answer);
  return r;
}

int SimControl::onSetNotificationsStalled(sd_bus_message* message, void* self, sd_bus_error*) {
  int stalled = 0;
  int r = sd_bus_message_read(message, "b", &stalled);
  if (r < 0) return r;
  static_cast<SimControl*>(self)->clients_.setNotificationsStalled(stalled != 0);
  return sd_bus_reply_method_return(message, "");
}

}  // namespace harlo::bluez_sim
