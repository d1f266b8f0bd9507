#include "platform/linux/bluez/gatt_application.h"

#include <cstring>
#include <string_view>
#include <utility>

#include "platform/linux/bluez/bluez_names.h"

namespace harlo::platform {
namespace {

const char* const toHelperFlags[] = {"encrypt-write", "write-without-response"};
const char* const fromHelperFlags[] = {"encrypt-notify"};

int appendStrings(sd_bus_message* reply, std::span<const char* const> strings) {
  int r = systemd().sd_bus_message_open_container(reply, 'a', "s");
  for (const char* text : strings) {
    if (r >= 0) r = systemd().sd_bus_message_append(reply, "s", text);
  }
  if (r >= 0) r = systemd().sd_bus_message_close_container(reply);
  return r;
}

// Reads the value of one option whose variant holds `type` (a basic type
// code) into `value`; skips it when it holds anything else.
template <typename T>
int readOption(sd_bus_message* call, char type, T* value) {
  char kind = 0;
  const char* contents = nullptr;
  int r = systemd().sd_bus_message_peek_type(call, &kind, &contents);
  if (r < 0) return r;
  if (contents == nullptr || contents[0] != type || contents[1] != '\0') {
    return systemd().sd_bus_message_skip(call, "v");
  }
  const char signature[] = {type, '\0'};
  if ((r = systemd().sd_bus_message_enter_container(call, 'v', signature)) < 0) return r;
  if ((r = systemd().sd_bus_message_read(call, signature, value)) < 0) return r;
  return systemd().sd_bus_message_exit_container(call);
}

// Reads the a{sv} of options at the call's read position: the device and
// the MTU; every other option is skipped.
int readAccess(sd_bus_message* call, GattAccess& access) {
  int r = systemd().sd_bus_message_enter_container(call, 'a', "{sv}");
  if (r < 0) return r;
  while ((r = systemd().sd_bus_message_enter_container(call, 'e', "sv")) > 0) {
    const char* key = nullptr;
    if ((r = systemd().sd_bus_message_read(call, "s", &key)) < 0) return r;
    const std::string_view name(key);
    if (name == "device") {
      const char* device = nullptr;
      if ((r = readOption(call, 'o', &device)) < 0) return r;
      if (device != nullptr) access.device = device;
    } else if (name == "mtu") {
      if ((r = readOption(call, 'q', &access.mtu)) < 0) return r;
    } else if ((r = systemd().sd_bus_message_skip(call, "v")) < 0) {
      return r;
    }
    if ((r = systemd().sd_bus_message_exit_container(call)) < 0) return r;
  }
  if (r < 0) return r;
  return systemd().sd_bus_message_exit_container(call);
}

int getString(sd_bus_message* reply, const std::string& text) {
  return systemd().sd_bus_message_append(reply, "s", text.c_str());
}

int getFalse(sd_bus*, const char*, const char*, const char*, sd_bus_message* reply, void*,
             sd_bus_error*) {
  return systemd().sd_bus_message_append(reply, "b", 0);
}

int getServicePath(sd_bus*, const char*, const char*, const char*, sd_bus_message* reply, void*,
                   sd_bus_error*) {
  return systemd().sd_bus_message_append(reply, "o", gattServicePath);
}

}  // namespace

GattApplication::GattApplication(std::shared_ptr<BusConnection> connection, Log& log,
                                 const ServiceDescription& description, Receiver& receiver)
    : connection_(std::move(connection)),
      log_(log),
      serviceUUID_(uuidText(description.uuid)),
      toHelperUUID_(uuidText(description.lowEnergy.toService)),
      fromHelperUUID_(uuidText(description.lowEnergy.fromService)),
      receiver_(receiver) {}

Result<std::unique_ptr<GattApplication>, Status> GattApplication::exportOn(
    std::shared_ptr<BusConnection> connection, Log& log, const ServiceDescription& description,
    Receiver& receiver) {
  sd_bus* bus = connection->bus();
  std::unique_ptr<GattApplication> application(
      new GattApplication(std::move(connection), log, description, receiver));
  struct Export {
    const char* path;
    const char* interface;
    const sd_bus_vtable* vtable;
  };
  const Export exports[] = {
      {gattServicePath, gattServiceInterface, serviceVtable()},
      {toHelperCharacteristicPath, gattCharacteristicInterface, toHelperVtable()},
      {fromHelperCharacteristicPath, gattCharacteristicInterface, fromHelperVtable()},
  };
  sd_bus_slot* slot = nullptr;
  int r = systemd().sd_bus_add_object_manager(bus, &slot, gattApplicationPath);
  if (r < 0) return fail(Status{r});
  application->slots_.push_back(slot);
  for (const Export& object : exports) {
    r = systemd().sd_bus_add_object_vtable(bus, &slot, object.path, object.interface, object.vtable,
                                           application.get());
    if (r < 0) return fail(Status{r});
    application->slots_.push_back(slot);
  }
  return application;
}

GattApplication::~GattApplication() {
  for (sd_bus_slot* slot : slots_) systemd().sd_bus_slot_unref(slot);
}

const sd_bus_vtable* GattApplication::serviceVtable() {
  static const sd_bus_vtable table[] = {
      exportedVtableStart(0),
      SD_BUS_PROPERTY(
          "UUID", "s",
          [](sd_bus*, const char*, const char*, const char*, sd_bus_message* reply, void* self,
             sd_bus_error*) {
            return getString(reply, static_cast<GattApplication*>(self)->serviceUUID_);
          },
          0, SD_BUS_VTABLE_PROPERTY_CONST),
      SD_BUS_PROPERTY(
          "Primary", "b",
          [](sd_bus*, const char*, const char*, const char*, sd_bus_message* reply, void*,
             sd_bus_error*) { return systemd().sd_bus_message_append(reply, "b", 1); },
          0, SD_BUS_VTABLE_PROPERTY_CONST),
      SD_BUS_VTABLE_END,
  };
  return table;
}

// Unprivileged: on the system bus the bus policy decides who may call us,
// and the handlers check that the caller is BlueZ.
const sd_bus_vtable* GattApplication::toHelperVtable() {
  static const sd_bus_vtable table[] = {
      exportedVtableStart(0),
      SD_BUS_PROPERTY(
          "UUID", "s",
          [](sd_bus*, const char*, const char*, const char*, sd_bus_message* reply, void* self,
             sd_bus_error*) {
            return getString(reply, static_cast<GattApplication*>(self)->toHelperUUID_);
          },
          0, SD_BUS_VTABLE_PROPERTY_CONST),
      SD_BUS_PROPERTY("Service", "o", getServicePath, 0, SD_BUS_VTABLE_PROPERTY_CONST),
      SD_BUS_PROPERTY(
          "Flags", "as",
          [](sd_bus*, const char*, const char*, const char*, sd_bus_message* reply, void*,
             sd_bus_error*) { return appendStrings(reply, toHelperFlags); },
          0, SD_BUS_VTABLE_PROPERTY_CONST),
      SD_BUS_PROPERTY("WriteAcquired", "b", getFalse, 0, SD_BUS_VTABLE_PROPERTY_CONST),
      SD_BUS_METHOD("AcquireWrite", "a{sv}", "hq", &GattApplication::onAcquireWrite,
                    SD_BUS_VTABLE_UNPRIVILEGED),
      SD_BUS_METHOD("WriteValue", "aya{sv}", "", &GattApplication::onWriteValue,
                    SD_BUS_VTABLE_UNPRIVILEGED),
      SD_BUS_VTABLE_END,
  };
  return table;
}

const sd_bus_vtable* GattApplication::fromHelperVtable() {
  static const sd_bus_vtable table[] = {
      exportedVtableStart(0),
      SD_BUS_PROPERTY(
          "UUID", "s",
          [](sd_bus*, const char*, const char*, const char*, sd_bus_message* reply, void* self,
             sd_bus_error*) {
            return getString(reply, static_cast<GattApplication*>(self)->fromHelperUUID_);
          },
          0, SD_BUS_VTABLE_PROPERTY_CONST),
      SD_BUS_PROPERTY("Service", "o", getServicePath, 0, SD_BUS_VTABLE_PROPERTY_CONST),
      SD_BUS_PROPERTY(
          "Flags", "as",
          [](sd_bus*, const char*, const char*, const char*, sd_bus_message* reply, void*,
             sd_bus_error*) { return appendStrings(reply, fromHelperFlags); },
          0, SD_BUS_VTABLE_PROPERTY_CONST),
      SD_BUS_PROPERTY("NotifyAcquired", "b", getFalse, 0, SD_BUS_VTABLE_PROPERTY_CONST),
      SD_BUS_METHOD("AcquireNotify", "a{sv}", "hq", &GattApplication::onAcquireNotify,
                    SD_BUS_VTABLE_UNPRIVILEGED),
      SD_BUS_VTABLE_END,
  };
  return table;
}

bool GattApplication::fromBluez(sd_bus_message* call, int& answered) {
  const char* sender = systemd().sd_bus_message_get_sender(call);
  if (connection_->isBluezOwner(sender)) return true;
  log_.write(Log::Level::warning, std::string("refused a GATT call from ") +
                                      (sender != nullptr ? sender : "an unnamed sender") +
                                      ", which is not bluetoothd (the owner of org.bluez)");
  answered = systemd().sd_bus_reply_method_errorf(call, rejectedError, "only %s may call this",
                                                  bluezService);
  return false;
}

int GattApplication::onAcquireNotify(sd_bus_message* call, void* userdata, sd_bus_error*) {
  auto& self = *static_cast<GattApplication*>(userdata);
  int answered = 0;
  if (!self.fromBluez(call, answered)) return answered;
  GattAccess access;
  if (const int r = readAccess(call, access); r < 0) return r;
  return self.receiver_.acquireNotify(call, access);
}

int GattApplication::onAcquireWrite(sd_bus_message* call, void* userdata, sd_bus_error*) {
  auto& self = *static_cast<GattApplication*>(userdata);
  int answered = 0;
  if (!self.fromBluez(call, answered)) return answered;
  GattAccess access;
  if (const int r = readAccess(call, access); r < 0) return r;
  return self.receiver_.acquireWrite(call, access);
}

int GattApplication::onWriteValue(sd_bus_message* call, void* userdata, sd_bus_error*) {
  auto& self = *static_cast<GattApplication*>(userdata);
  int answered = 0;
  if (!self.fromBluez(call, answered)) return answered;
  const void* bytes = nullptr;
  std::size_t size = 0;
  if (const int r = systemd().sd_bus_message_read_array(call, 'y', &bytes, &size); r < 0) return r;
  // The bytes stay in the message, which outlives the receiver's call.
  const std::span<const std::uint8_t> value(static_cast<const std::uint8_t*>(bytes), size);
  GattAccess access;
  if (const int r = readAccess(call, access); r < 0) return r;
  return self.receiver_.writeValue(call, value, access);
}

}  // namespace harlo::platform
