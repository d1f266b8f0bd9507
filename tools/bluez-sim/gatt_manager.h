// The simulated org.bluez.GattManager1 on every adapter object, as
// bluetoothd 5.66's gatt-database.c serves it (its watch() hangs it on the
// adapters; without export, with --no-le, adapters do not have it and calls
// to it fail as sd-bus fails them for an unknown interface).
//
// RegisterApplication(o root, a{sv} options): a root the same owner already
// registered on that adapter, or is registering, is refused with
// org.bluez.Error.AlreadyExists "Already Exists". Otherwise, before
// answering, ObjectManager.GetManagedObjects goes to the caller at `root`
// (asynchronously; an error answer counts as no object), the objects are
// checked as gatt_application.h describes (a refusal: org.bluez.Error.Failed
// with bluetoothd's message), and the application is served: one
// ServedCharacteristic (served_characteristic.h) per characteristic, each of
// those with notifications or indications taking the PropertiesChanged of
// its Value from the owner as packets to notify. The application is recorded
// (record_file.h) and the call answered. Each adapter has its own
// applications.
//
// UnregisterApplication(o root): removes the owner's application at `root`
// on that adapter (its sockets close, its calls are cancelled); one still
// being read is dropped and its RegisterApplication left unanswered, as
// bluetoothd leaves it. None: org.bluez.Error.DoesNotExist "Does Not Exist".
// An application also goes when its owner leaves the bus, and with its
// adapter (a RegisterApplication still reading is then left unanswered).
//
// Lines on standard error:
//   "RegisterApplication <root> from <owner> on <adapter>: GetManagedObjects sent"
//   "registered GATT application <root> for <owner> on <adapter>: <n> services,
//    <m> characteristics"
//   "RegisterApplication <root> from <owner> on <adapter> refused: <error name>: <message>
//    (<why>)"
//   "RegisterApplication <root> from <owner> on <adapter> left unanswered"
//   "unregistered GATT application <root> for <owner> on <adapter>"
//   "UnregisterApplication <root> from <owner> on <adapter> refused: no such application"
//   "<owner> left the bus: dropped GATT application <root> on <adapter>"
//   "GATT application <root> of <owner> went with <adapter>"
//
// Single-threaded: runs on the thread of the sd-event loop the bus is
// attached to. The loop, the bus and the record writer must outlive it.
#pragma once

#include <systemd/sd-bus.h>
#include <systemd/sd-event.h>

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "adapters.h"
#include "base/result.h"
#include "gatt_application.h"
#include "record_writer.h"
#include "served_characteristic.h"

namespace harlo::bluez_sim {

// A GATT application registered (answered with success) and served.
struct ServedApplication {
  std::string adapter;
  std::string owner;
  std::string root;
  GattApplication application;
  // One per application.characteristics, in the same order.
  std::vector<std::unique_ptr<ServedCharacteristic>> characteristics;
};

class GattManager final {
 public:
  // Watches for owners leaving and for Value changes, adds its section to
  // `record`. With `exported` false no adapter gets the interface. Fails with
  // a negative errno.
  static Result<std::unique_ptr<GattManager>, int> create(sd_event* event, sd_bus* bus,
                                                          RecordWriter& record, bool exported);

  // Drops every application without answering or announcing anything.
  ~GattManager();
  GattManager(const GattManager&) = delete;
  GattManager& operator=(const GattManager&) = delete;

  // What the manager does with each adapter: export the interface when one
  // is added, drop its applications when it goes.
  AdapterWatch watch();

  // Where every served characteristic's packets go.
  void setPacketSink(ServedCharacteristic::PacketSink sink) { sink_ = std::move(sink); }

  // Called with each application about to go, for whatever reason, while
  // its characteristics still exist.
  void setOnRemoved(std::function<void(const ServedApplication&)> onRemoved) {
    onRemoved_ = std::move(onRemoved);
  }

  // The applications registered on `adapter`, in registration order. The
  // pointers are valid until the next bus message or adapter change.
  std::vector<ServedApplication*> applicationsOn(const std::string& adapter) const;

  // Stops (or resumes) the reading of every notify socket, now and later.
  void setNotificationsStalled(bool stalled);

 private:
  struct Registration;
  struct AdapterObject;

  GattManager(sd_event* event, sd_bus* bus, RecordWriter& record, bool exported);

  static const sd_bus_vtable* vtable();
  static int onRegister(sd_bus_message* message, void* adapter, sd_bus_error* error);
  static int onUnregister(sd_bus_message* message, void* adapter, sd_bus_error* error);
  static int onObjects(sd_bus_message* reply, void* registration, sd_bus_error* error);
  static int onNameOwnerChanged(sd_bus_message* message, void* self, sd_bus_error* error);
  static int onValueChanged(sd_bus_message* message, void* self, sd_bus_error* error);

  int registerApplication(sd_bus_message* message, const std::string& adapter);
  int unregisterApplication(sd_bus_message* message, const std::string& adapter);
  void serve(Registration& registration, GattApplication application);
  // Removes the registrations `which` selects, each after `why` (given it)
  // is logged; writes the record if any was registered.
  void drop(const std::function<bool(const Registration&)>& which,
            const std::function<std::string(const Registration&)>& why);

  sd_event* event_;
  sd_bus* bus_;
  RecordWriter& record_;
  bool exported_;
  bool stalled_ = false;
  ServedCharacteristic::PacketSink sink_;
  std::function<void(const ServedApplication&)> onRemoved_;
  std::map<std::string, std::unique_ptr<AdapterObject>> objects_;  // by adapter path
  std::vector<std::unique_ptr<Registration>> registrations_;       // in call order
  sd_bus_slot* ownerMatch_ = nullptr;
  sd_bus_slot* valueMatch_ = nullptr;
};

}  // namespace harlo::bluez_sim
