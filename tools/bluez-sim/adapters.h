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
// (poweredAdapter). What else lives on an adapter follows it through the
// watches (AdapterWatch): interfaces added on its path when it is added are
// announced with it; when it loses power or is removed its links drop, as a
// controller's do, before the call that caused it is answered; what goes
// with a removed adapter goes before the adapter's InterfacesRemoved, and
// its interfaces' objects after it.
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

// Callbacks for the life of each adapter, each given the adapter's path;
// any may be empty. Called in the order the watches were added.
struct AdapterWatch {
  // Added, before InterfacesAdded announces it.
  std::function<void(const std::string&)> added;
  // Its links drop: powered off, or removed while powered.
  std::function<void(const std::string&)> linksLost;
  // Being removed, after linksLost and before InterfacesRemoved.
  std::function<void(const std::string&)> removing;
  // Removed, after InterfacesRemoved (which listed what was still on the
  // path).
  std::function<void(const std::string&)> removed;
};

class Adapters final {
 public:
  // Adds the object manager at "/", with no adapter yet. Fails with a
  // negative errno.
  static Result<std::unique_ptr<Adapters>, int> create(sd_event* event, sd_bus* bus);

  // Removes every adapter object and the object manager, without
  // announcing anything or calling the watches.
  ~Adapters();
  Adapters(const Adapters&) = delete;
  Adapters& operator=(const Adapters&) = delete;

  // Adds callbacks for every adapter added or removed from now on.
  void watch(AdapterWatch watch) { watches_.push_back(std::move(watch)); }

  // Adds an adapter at the lowest free index and announces it; its path.
  // Fails with -ENOSPC when all 256 exist, else with a negative errno.
  Result<std::string, int> add(bool powered);

  // Removes the adapter at `path` (its links drop) and announces it; false
  // if there is none.
  bool remove(const std::string& path);

  // The path of the lowest-numbered powered adapter, if any.
  std::optional<std::string> poweredAdapter() const;

  // The paths of the powered adapters, lowest-numbered first.
  std::vector<std::string> poweredAdapters() const;

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
  void notify(std::function<void(const std::string&)> AdapterWatch::*event,
              const std::string& path) const;

  sd_event* event_;
  sd_bus* bus_;
  sd_bus_slot* managerSlot_ = nullptr;
  std::vector<std::unique_ptr<Adapter>> adapters_;  // by index
  std::vector<AdapterWatch> watches_;
};

}  // namespace harlo::bluez_sim
