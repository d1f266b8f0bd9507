// GattApplication: the GATT application this program exports for bluetoothd
// to serve over Bluetooth Low Energy (org.bluez.GattManager1's
// RegisterApplication takes its root), with its object manager at
// gattApplicationPath and below it:
//
// - the primary service (gattServicePath): org.bluez.GattService1 with the
//   description's UUID;
// - "to helper" (toHelperCharacteristicPath): org.bluez.GattCharacteristic1
//   with the UUID lowEnergy.toService and the flags "encrypt-write" and
//   "write-without-response"; AcquireWrite(a{sv}) -> (h, q) and
//   WriteValue(ay, a{sv});
// - "from helper" (fromHelperCharacteristicPath): the UUID
//   lowEnergy.fromService and the flag "encrypt-notify";
//   AcquireNotify(a{sv}) -> (h, q).
//
// The encrypt-* flags make bluetoothd refuse, with an ATT error, a write or
// a subscription from a link that is not encrypted, before this program
// hears of it. The WriteAcquired and NotifyAcquired properties are there for
// their presence, which is what makes bluetoothd hand the bytes over on
// sockets (AcquireWrite, AcquireNotify) instead of one call per write; their
// value, always false, it does not read.
//
// Each call is taken only from the current owner of "org.bluez" (anyone
// else gets org.bluez.Error.Rejected, and the refusal is logged) and handed
// to the receiver with the options bluetoothd passed (the device, the ATT
// MTU). The receiver answers the call, at once or later.
//
// Threads: loop thread only, as the connection. The connection must outlive
// the application, and the receiver its calls.
#pragma once

#include <systemd/sd-bus.h>

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "base/log.h"
#include "base/result.h"
#include "platform/linux/bluez/bus_connection.h"
#include "platform/service_description.h"
#include "platform/status.h"

namespace harlo::platform {

// What bluetoothd tells of the client a call comes from.
struct GattAccess {
  std::string device;     // the device's object path
  std::uint16_t mtu = 0;  // the link's ATT MTU; 0 when not told
};

class GattApplication final {
 public:
  // Takes the calls. Each returns what an sd-bus method handler returns: 1
  // once it has answered the call or taken a reference to answer it later,
  // or a negative errno for sd-bus to answer with.
  class Receiver {
   public:
    virtual ~Receiver() = default;
    virtual int acquireNotify(sd_bus_message* call, const GattAccess& access) = 0;
    virtual int acquireWrite(sd_bus_message* call, const GattAccess& access) = 0;
    virtual int writeValue(sd_bus_message* call, std::span<const std::uint8_t> value,
                           const GattAccess& access) = 0;
  };

  // Exports the objects on `connection`. Fails with a negative errno
  // (-EEXIST when something is exported there already).
  static Result<std::unique_ptr<GattApplication>, Status> exportOn(
      std::shared_ptr<BusConnection> connection, Log& log, const ServiceDescription& description,
      Receiver& receiver);

  // Removes the objects from the bus.
  ~GattApplication();
  GattApplication(const GattApplication&) = delete;
  GattApplication& operator=(const GattApplication&) = delete;

 private:
  GattApplication(std::shared_ptr<BusConnection> connection, Log& log,
                  const ServiceDescription& description, Receiver& receiver);

  static const sd_bus_vtable* serviceVtable();
  static const sd_bus_vtable* toHelperVtable();
  static const sd_bus_vtable* fromHelperVtable();
  static int onAcquireNotify(sd_bus_message* call, void* userdata, sd_bus_error* error);
  static int onAcquireWrite(sd_bus_message* call, void* userdata, sd_bus_error* error);
  static int onWriteValue(sd_bus_message* call, void* userdata, sd_bus_error* error);
  // Whether the call's sender is bluetoothd; if not, the call is refused and
  // `answered` holds what the handler returns for it.
  bool fromBluez(sd_bus_message* call, int& answered);

  const std::shared_ptr<BusConnection> connection_;
  Log& log_;
  const std::string serviceUUID_;
  const std::string toHelperUUID_;
  const std::string fromHelperUUID_;
  Receiver& receiver_;
  std::vector<sd_bus_slot*> slots_;
};

}  // namespace harlo::platform
