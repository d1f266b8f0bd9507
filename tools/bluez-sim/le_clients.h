// The simulated LE clients: what a remote device does, driven through the
// control object (sim_control.h), to the GATT applications of the adapter
// it connected through, as bluetoothd's ATT server takes it.
//
// A device's link is encrypted when the device is bonded (an unbonded one's
// is not); neither is ever authenticated (a pairing without MITM
// protection). An access the characteristic's flags secure more than that is
// refused with org.harlo.BluezSim.Error.InsufficientEncryption (flags
// "encrypt-...") or InsufficientAuthentication ("encrypt-authenticated-..."
// and "secure-..."), and the application is told nothing, as the remote
// device gets the ATT error.
//
// Subscribing writes the CCC of the first characteristic (services in
// registration order, then handle order) with notifications or indications:
// 0x0001 if it notifies, else 0x0002; unsubscribing writes 0x0000. A value
// the device's CCC already has changes nothing; otherwise the
// characteristic's subscription is enabled or disabled (served_characteristic.h:
// the count and the one notify socket that all devices share). When a link
// drops, its device's calls still awaiting an answer go to nobody; an
// unbonded device's subscriptions are disabled, while a bonded device's are
// kept (bluetoothd 5.66 keeps a bonded device's CCC state across
// disconnections, and notifies the device only while it is connected): the
// characteristic's count, and its socket, stay.
//
// Each packet a characteristic notifies reaches every connected device
// subscribed to it, cut to the device's MTU - 3 as ATT cuts a
// notification; a device takes them with takeNotifications. An indication is
// confirmed at once (Confirm() to the application).
//
// Writing writes the value of the first characteristic with write or
// write-without-response. A value longer than MTU - 3 is refused with
// org.harlo.BluezSim.Error.InvalidValueLength (no ATT write can carry it).
// The write is done once the characteristic has handed it over; with
// response its failure (the application's error, or the simulator's) is the
// outcome, without response the outcome is success whatever happened (the
// device learns nothing), the log telling the failure.
//
// Lines on standard error, <n> the device's number (packets that pass are
// not logged: a 100 KiB line at MTU 23 is 5,000 of them):
//   "le <n>: subscribed to <chrc>"
//   "le <n>: unsubscribed from <chrc>"
//   "le <n>: subscription to <chrc> refused: insufficient encryption|authentication"
//   "le <n>: subscription to <chrc> ended with the link"
//   "le <n>: subscription to <chrc> kept over the link drop (bonded)"
//   "warning: le <n>: notification of <k> bytes from <chrc> truncated to <m> (MTU <mtu>)"
//   "le <n>: write of <k> bytes to <chrc> refused: <why>"
//   "le <n>: write without response failed: <error name>: <message>"
//
// Single-threaded: runs on the thread of the sd-event loop. The adapters, the
// GATT manager and the devices must outlive it.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "adapters.h"
#include "base/result.h"
#include "gatt_manager.h"
#include "le_devices.h"
#include "sim_error.h"

namespace harlo::bluez_sim {

class LeClients final {
 public:
  LeClients(const Adapters& adapters, GattManager& gatt, LeDevices& devices)
      : adapters_(adapters), gatt_(gatt), devices_(devices) {}

  LeClients(const LeClients&) = delete;
  LeClients& operator=(const LeClients&) = delete;

  // Connects a device with an ATT MTU of `mtu` (23 to 517) through the
  // lowest-numbered powered adapter that has a registered GATT application;
  // its path.
  Result<std::string, SimError> connect(std::uint16_t mtu, bool bonded, bool trusted);

  // The known device at `path` connects again through its adapter, which
  // must be powered; a bonded device's subscriptions are as it left them.
  Result<void, SimError> reconnect(const std::string& device);

  // Drops the device's link.
  Result<void, SimError> disconnect(const std::string& device);

  Result<void, SimError> subscribe(const std::string& device);
  Result<void, SimError> unsubscribe(const std::string& device);

  // Writes `value`; `done` gets the outcome, at once or later.
  void write(const std::string& device, std::string value, bool withResponse,
             std::function<void(Result<void, SimError>)> done);

  // The packets the device received since the last call, in order.
  Result<std::vector<std::string>, SimError> takeNotifications(const std::string& device);

  // While stalled no notify socket is read (gatt_manager.h).
  void setNotificationsStalled(bool stalled) { gatt_.setNotificationsStalled(stalled); }

  // Wiring: the GATT manager's packet sink, its removal callback, and the
  // devices' link-dropped callback.
  void deliver(ServedCharacteristic& characteristic, std::string_view packet);
  void applicationRemoved(const ServedApplication& application);
  void linkDropped(const LeDevice& device);

 private:
  // What one device holds: its CCC values and the packets it received.
  struct Remote {
    std::map<ServedCharacteristic*, std::uint16_t> ccc;
    std::vector<std::string> inbox;
  };

  Result<const LeDevice*, SimError> connectedDevice(const std::string& path) const;
  ServedCharacteristic* firstCharacteristic(const std::string& adapter,
                                            bool (*wanted)(const GattCharacteristic&)) const;
  Result<void, SimError> writeCcc(const std::string& path, bool enable);

  const Adapters& adapters_;
  GattManager& gatt_;
  LeDevices& devices_;
  std::map<std::string, Remote> remotes_;  // by device path
};

}  // namespace harlo::bluez_sim
