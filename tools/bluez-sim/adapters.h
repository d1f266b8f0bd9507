// The simulated Bluetooth adapters, as bluetoothd shows them on the bus.
//
// Each adapter is an object /org/bluez/hci<N> implementing org.bluez.Adapter1
// with the properties
//   Address      s  "00:AA:BB:CC:DD:<N as two upper-case hex digits>"
//   AddressType  s  "public"
//   Name         s  "bluez-sim"
//   Alias        s  the Name (this simulator renames nothing)
//   Powered      b  writable
// and org.freedesktop.DBus.Properties. N is the lowest index free, as the
// kernel numbers controllers; there are at most 256 adapters. An
// org.freedesktop.DBus.ObjectManager at "/", as bluetoothd has, lists every
// object of the bus connection (the adapters, and /org/bluez with
// ProfileManager1) and announces each adapter added or removed with
// InterfacesAdded or InterfacesRemoved.
//
// Setting Powered works as with bluetoothd (what `bluetoothctl power off`
// does): the call is answered, and after the answer
// PropertiesChanged(org.bluez.Adapter1, {Powered}) goes out on the adapter's
// path; setting the value it already has is answered and announces nothing.
// A value of another type is refused by sd-bus with
// org.freedesktop.DBus.Error.InvalidArgs (bluetoothd names it
// InvalidSignature).
//
// Incoming clients arrive through the lowest-numbered powered adapter
// (poweredAdapter). When an adapter loses power or is removed its links drop,
// as a controller's do: the links-lost callback runs with the adapter's path
// before the call that caused it is answered.
//
// Lines on standard error:
//   "adapter <path> added, powered|unpowered"
//   "adapter <path> powered on|off"
//   "adapter <path> removed"
//
// Single-threaded: runs on the thread of the sd-event loop the bus is
// attached to. The loop and the bus must outlive it.
#pragma once

#include <systemd/sd-bus.h>
#include <systemd/sd-event.h>

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "base/result.h"

namespace harlo::bluez_sim {

class Adapters final {
 public:
  // Adds the object manager at "/", with no adapter yet. Fails with a
  // negative errno.
  static Result<std::unique_ptr<Adapters>, int> create(sd_event* event, sd_bus* bus);

  // Removes every adapter object and the object manager, without
  // announcing anything or calling the links-lost callback.
  ~Adapters();
  Adapters(const Adapters&) = delete;
  Adapters& operator=(const Adapters&) = delete;

  // Called with an adapter's path when its links drop.
  void setOnLinksLost(std::function<void(const std::string& adapterPath)> onLinksLost) {
    onLinksLost_ = std::move(onLinksLost);
  }

  // Adds an adapter at the lowest free index and announces it; its path.
  // Fails with -ENOSPC when all 256 exist, else with a negative errno.
  Result<std::string, int> add(bool powered);

  // Removes the adapter at `path` (its links drop) and announces it; false
  // if there is none.
  bool remove(const std::string& path);

  // The path of the lowest-numbered powered adapter, if any.
  std::optional<std::string> poweredAdapter() const;

 private:
  struct Adapter;

  Adapters(sd_event* event, sd_bus* bus);

  static const sd_bus_vtable* vtable();
  static int onGet(sd_bus* bus, const char* path, const char* interface, const char* property,
                   sd_bus_message* reply, void* adapter, sd_bus_error* error);
  static int onSetPowered(sd_bus* bus, const char* path, const char* interface,
                          const char* property, sd_bus_message* value, void* adapter,
                          sd_bus_error* error);
  static int onAnnounce(sd_event_source* source, void* adapter);

  void setPowered(Adapter& adapter, bool powered);

  sd_event* event_;
  sd_bus* bus_;
  sd_bus_slot* managerSlot_ = nullptr;
  std::vector<std::unique_ptr<Adapter>> adapters_;  // by index
  std::function<void(const std::string&)> onLinksLost_;
};

}  // namespace harlo::bluez_sim
