// The simulator's control object, through which tests and the demo add and
// remove adapters (adapters.h) and play Bluetooth LE clients (le_clients.h)
// while it runs.
//
// It lives on a bus connection of its own that owns the name
// org.harlo.BluezSim, so that org.bluez shows only what bluetoothd shows:
//   object     /org/harlo/BluezSim
//   interface  org.harlo.BluezSim1
//   AddAdapter() -> (o adapter)
//       adds a powered adapter at the lowest free index and answers its
//       path; org.harlo.BluezSim.Error.Failed when none can be added.
//   RemoveAdapter(o adapter) -> ()
//       removes it: the clients that came through it lose their link;
//       org.harlo.BluezSim.Error.DoesNotExist for a path that is no adapter.
//   ConnectLowEnergy(q mtu, b bonded, b trusted) -> (o device)
//       an LE device connects, with that ATT MTU, through the
//       lowest-numbered powered adapter that has a registered GATT
//       application (le_devices.h); InvalidArguments for an MTU outside 23
//       to 517, Failed when no adapter qualifies.
//   DisconnectLowEnergy(o device) -> ()
//       the device's link drops.
//   ReconnectLowEnergy(o device) -> ()
//       the link of a device that dropped it comes up again; a bonded
//       device's subscriptions are as it left them (bluetoothd keeps them).
//       Failed when it is connected or its adapter is not powered.
//   Subscribe(o device) -> (), Unsubscribe(o device) -> ()
//       the device writes the CCC of the first characteristic with
//       notifications or indications; answered once the write is taken
//       (the calls it causes answer later). NotSupported without one.
//   WriteLowEnergy(o device, ay value, b withResponse) -> ()
//       the device writes the first writable characteristic; answered once
//       the write is handed over (sent on the write socket, or WriteValue
//       answered or sent); with response its failure is the error: the
//       application's own (org.bluez.Error.NotAuthorized, ...) or one of
//       the simulator's. InvalidValueLength for a value over MTU - 3,
//       NotSupported without a writable characteristic, NoResponse when
//       bluetoothd 5.66 would never hand it over (served_characteristic.h).
//   TakeNotifications(o device) -> (aay packets)
//       the packets the device received since the last call, in order.
//   SetNotificationsStalled(b stalled) -> ()
//       while true no notify socket is read: the client takes nothing.
// Errors are org.harlo.BluezSim.Error.<name>; every device call also fails
// with DoesNotExist for a path that is no LE device, NotConnected for a
// device whose link is down (but TakeNotifications), and
// InsufficientEncryption or InsufficientAuthentication when the
// characteristic asks more of the link than it has (le_clients.h).
// InterfacesAdded, InterfacesRemoved and PropertiesChanged go out on
// org.bluez's connection; a recipient may see them after the answer, as the
// two come from different connections.
//
// Single-threaded: runs on the thread of the sd-event loop. The bus, the
// adapters and the clients must outlive it.
#pragma once

#include <systemd/sd-bus.h>

#include <memory>

#include "adapters.h"
#include "base/result.h"
#include "le_clients.h"

namespace harlo::bluez_sim {

inline constexpr const char* simControlName = "org.harlo.BluezSim";

class SimControl final {
 public:
  // Exports the object on `bus` (which the caller makes own
  // simControlName). Fails with a negative errno.
  static Result<std::unique_ptr<SimControl>, int> create(sd_bus* bus, Adapters& adapters,
                                                         LeClients& clients);

  ~SimControl();
  SimControl(const SimControl&) = delete;
  SimControl& operator=(const SimControl&) = delete;

 private:
  SimControl(Adapters& adapters, LeClients& clients) : adapters_(adapters), clients_(clients) {}

  static const sd_bus_vtable* vtable();
  static int onAddAdapter(sd_bus_message* message, void* self, sd_bus_error* error);
  static int onRemoveAdapter(sd_bus_message* message, void* self, sd_bus_error* error);
  static int onConnectLowEnergy(sd_bus_message* message, void* self, sd_bus_error* error);
  static int onDisconnectLowEnergy(sd_bus_message* message, void* self, sd_bus_error* error);
  static int onReconnectLowEnergy(sd_bus_message* message, void* self, sd_bus_error* error);
  static int onSubscribe(sd_bus_message* message, void* self, sd_bus_error* error);
  static int onUnsubscribe(sd_bus_message* message, void* self, sd_bus_error* error);
  static int onWriteLowEnergy(sd_bus_message* message, void* self, sd_bus_error* error);
  static int onTakeNotifications(sd_bus_message* message, void* self, sd_bus_error* error);
  static int onSetNotificationsStalled(sd_bus_message* message, void* self, sd_bus_error* error);

  Adapters& adapters_;
  LeClients& clients_;
  sd_bus_slot* objectSlot_ = nullptr;
};

}  // namespace harlo::bluez_sim
