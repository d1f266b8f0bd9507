// The Bluetooth LE devices that connected to the simulated adapters, as
// bluetoothd shows remote devices: one object per device,
// <adapter>/dev_00_00_01_XX_XX_XX, with org.bluez.Device1:
//   Address      s  "00:00:01:XX:XX:XX", XX:XX:XX the device's number (from 1)
//   AddressType  s  "public"
//   Alias        s  the address with '-' for ':' (a device without a name)
//   Adapter      o
//   Paired, Bonded  b  as connected (a bonded device is paired)
//   Trusted      b  writable, as with bluetoothd
//   Connected    b
//   Disconnect()    drops the link if it is up, then answers (bluetoothd
//                   answers a device already disconnected at once too)
// and org.freedesktop.DBus.Properties; InterfacesAdded announces a device
// (through the ObjectManager at "/"). RFCOMM clients (client_listener.h) are
// numbered 00:00:00:XX:XX:XX and have no object, so the two never meet.
//
// A link drops at Disconnect(), at DisconnectLowEnergy, and when its adapter
// loses power or goes: Connected becomes false and the link-dropped callback
// runs at once. Changes of Connected and Trusted are announced with
// PropertiesChanged after the call that caused them is answered, as
// bluetoothd announces them. The object stays, as bluetoothd keeps known
// devices, until its adapter goes (InterfacesRemoved, before the adapter's).
//
// Lines on standard error, <n> the device's number:
//   "le <n>: <device> connected through <adapter>, MTU <mtu>, bonded|not bonded,
//    trusted|not trusted"
//   "le <n>: <device> connected again"
//   "le <n>: <device> disconnected: DisconnectLowEnergy"
//   "le <n>: <device> disconnected: Device1.Disconnect from <sender>"
//   "le <n>: <device> disconnected: its adapter dropped its links"
//   "le <n>: <device> removed with its adapter"
//   "le <n>: Trusted set to true|false"
//
// Single-threaded: runs on the thread of the sd-event loop the bus is
// attached to. The loop and the bus must outlive it.
#pragma once

#include <systemd/sd-bus.h>
#include <systemd/sd-event.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "adapters.h"
#include "base/result.h"

namespace harlo::bluez_sim {

struct LeDevice {
  unsigned number;  // from 1, in connection order
  std::string path;
  std::string address;
  std::string adapter;
  std::uint16_t mtu;  // the ATT MTU of its link
  bool bonded;
  bool trusted;
  bool connected;

  std::string label() const { return "le " + std::to_string(number); }
};

class LeDevices final {
 public:
  static std::unique_ptr<LeDevices> create(sd_event* event, sd_bus* bus);

  // Removes every device object without announcing anything.
  ~LeDevices();
  LeDevices(const LeDevices&) = delete;
  LeDevices& operator=(const LeDevices&) = delete;

  // Called with a device whose link dropped, after Connected became false.
  void setOnLinkDropped(std::function<void(const LeDevice&)> onLinkDropped) {
    onLinkDropped_ = std::move(onLinkDropped);
  }

  // Adds a connected device through `adapter` and announces it. Fails with
  // a negative errno.
  Result<const LeDevice*, int> connect(const std::string& adapter, std::uint16_t mtu, bool bonded,
                                       bool trusted);

  // Brings the link of the known, disconnected device at `path` up again
  // (same object, address, bond and trust), logging it; false otherwise.
  bool reconnect(const std::string& path);

  // The device at `path`, or nullptr. Valid until its adapter goes.
  const LeDevice* find(const std::string& path) const;

  // Drops the link of the device at `path`, logging `why`; false if it has
  // none (or there is no such device).
  bool disconnect(const std::string& path, const std::string& why);

  // What the devices do with each adapter: their links drop with its
  // links, and their objects go with it.
  AdapterWatch watch();

 private:
  struct Device;

  LeDevices(sd_event* event, sd_bus* bus);

  static const sd_bus_vtable* vtable();
  static int onGet(sd_bus* bus, const char* path, const char* interface, const char* property,
                   sd_bus_message* reply, void* device, sd_bus_error* error);
  static int onSetTrusted(sd_bus* bus, const char* path, const char* interface,
                          const char* property, sd_bus_message* value, void* device,
                          sd_bus_error* error);
  static int onDisconnect(sd_bus_message* message, void* device, sd_bus_error* error);
  static int onAnnounce(sd_event_source* source, void* device);

  Device* lookup(const std::string& path) const;
  void changed(Device& device, const char* property);

  sd_event* event_;
  sd_bus* bus_;
  unsigned connections_ = 0;
  std::vector<std::unique_ptr<Device>> devices_;
  std::function<void(const LeDevice&)> onLinkDropped_;
};

}  // namespace harlo::bluez_sim
