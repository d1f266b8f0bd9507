// AdapterWatch: follows bluetoothd's Bluetooth adapters through its object
// manager, keeping them in an AdapterTable (adapter_table.h).
//
// read() asks org.freedesktop.DBus.ObjectManager.GetManagedObjects of
// "org.bluez" at "/" for every object with org.bluez.Adapter1 (its Address
// and Powered). After that the table follows the object manager's
// InterfacesAdded and InterfacesRemoved (at "/") and each adapter's
// org.freedesktop.DBus.Properties.PropertiesChanged for org.bluez.Adapter1.
// Only signals from the current owner of "org.bluez" count; a malformed one is
// ignored.
//
// Threads: loop thread only, as the connection it uses. Its last reference
// must go on the loop thread.
#pragma once

#include <systemd/sd-bus.h>

#include <functional>
#include <memory>
#include <vector>

#include "base/result.h"
#include "platform/linux/bluez/adapter_table.h"
#include "platform/linux/bluez/bus_connection.h"
#include "platform/status.h"

namespace harlo::platform {

class AdapterWatch final {
 public:
  // Starts listening for the adapter signals on `connection`; the table is
  // unknown until read(). Fails with a negative errno.
  static Result<std::unique_ptr<AdapterWatch>, Status> start(
      std::shared_ptr<BusConnection> connection);

  // Stops listening.
  ~AdapterWatch();
  AdapterWatch(const AdapterWatch&) = delete;
  AdapterWatch& operator=(const AdapterWatch&) = delete;

  // Reads every adapter from bluetoothd, waiting a bounded time
  // (bus_timeouts.h) for the answer. No owner of "org.bluez", an error, no
  // answer in time or an answer of the wrong shape leaves the table unknown
  // until the next read().
  void read();

  // Forgets every adapter: the service is lost, and nothing is known until
  // the next read().
  void forget() { table_.forget(); }

  const AdapterTable& table() const { return table_; }

  // Called after each signal that reached the table, from inside the bus's
  // dispatch: it must not destroy the watch.
  void onChanged(std::function<void()> changed) { changed_ = std::move(changed); }

 private:
  explicit AdapterWatch(std::shared_ptr<BusConnection> connection)
      : connection_(std::move(connection)) {}
  Status match(const char* rule, sd_bus_message_handler_t handler);
  bool fromBluez(sd_bus_message* signal) const;
  static int onInterfacesAdded(sd_bus_message* signal, void* userdata, sd_bus_error* error);
  static int onInterfacesRemoved(sd_bus_message* signal, void* userdata, sd_bus_error* error);
  static int onPropertiesChanged(sd_bus_message* signal, void* userdata, sd_bus_error* error);

  const std::shared_ptr<BusConnection> connection_;
  std::vector<sd_bus_slot*> matches_;
  AdapterTable table_;
  std::function<void()> changed_;
};

}  // namespace harlo::platform
