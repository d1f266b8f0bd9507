// LowEnergyAdvertisement: the org.bluez.LEAdvertisement1 object this program
// exports at advertisementPath for bluetoothd to advertise
// (org.bluez.LEAdvertisingManager1's RegisterAdvertisement takes it):
//
//   Type          s   "peripheral" (connectable)
//   ServiceUUIDs  as  the service's UUID, so that a phone that looks for the
//                     service finds it (iOS in the background too)
//   LocalName     s   the service's name, which bluetoothd puts in the scan
//                     response (the advertisement itself has no room left)
//   Discoverable  b   true: general discoverable, whatever the adapter's own
//                     Discoverable setting
//
// Release() (bluetoothd dropped the advertisement) is answered and logged,
// from the owner of "org.bluez" only.
//
// Threads: loop thread only, as the connection, which must outlive it.
#pragma once

#include <systemd/sd-bus.h>

#include <memory>
#include <string>

#include "base/log.h"
#include "base/result.h"
#include "platform/linux/bluez/bus_connection.h"
#include "platform/service_description.h"
#include "platform/status.h"

namespace harlo::platform {

class LowEnergyAdvertisement final {
 public:
  // Exports the object on `connection`. Fails with a negative errno.
  static Result<std::unique_ptr<LowEnergyAdvertisement>, Status> exportOn(
      std::shared_ptr<BusConnection> connection, Log& log, const ServiceDescription& description);

  // Removes the object from the bus.
  ~LowEnergyAdvertisement();
  LowEnergyAdvertisement(const LowEnergyAdvertisement&) = delete;
  LowEnergyAdvertisement& operator=(const LowEnergyAdvertisement&) = delete;

 private:
  LowEnergyAdvertisement(std::shared_ptr<BusConnection> connection, Log& log,
                         const ServiceDescription& description);
  static const sd_bus_vtable* vtable();
  static int onRelease(sd_bus_message* call, void* userdata, sd_bus_error* error);

  const std::shared_ptr<BusConnection> connection_;
  Log& log_;
  const std::string uuid_;
  const std::string name_;
  sd_bus_slot* slot_ = nullptr;
};

}  // namespace harlo::platform
