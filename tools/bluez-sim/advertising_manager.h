// The simulated org.bluez.LEAdvertisingManager1 on every adapter object, as
// bluetoothd 5.66's advertising.c serves it (its watch() hangs it on the
// adapters; without export, with --no-le, adapters do not have it).
//
// Each adapter's controller offers `instances` advertising instances
// (properties SupportedInstances y, the ones free, and ActiveInstances y, the
// ones taken; both announced with PropertiesChanged after a change). With
// none (--no-advertising: a controller that cannot advertise) every
// registration is refused as bluetoothd refuses one when no instance is free.
//
// RegisterAdvertisement(o advertisement, a{sv} options): an advertisement
// the same owner already registered on that adapter, or is registering, is
// refused with org.bluez.Error.AlreadyExists "Already Exists"; with no
// instance free, with org.bluez.Error.NotPermitted "Maximum advertisements
// reached". Otherwise, before answering, Properties.GetAll
// (org.bluez.LEAdvertisement1) goes to the caller (asynchronously; an error
// answer counts as no property, which bluetoothd takes as an empty broadcast
// advertisement), the properties are checked (advertisement_check.h; a
// refusal: org.bluez.Error.Failed "Failed to parse advertisement."),
// recorded (record_file.h) and the call answered.
//
// UnregisterAdvertisement(o advertisement): removes it; none:
// org.bluez.Error.DoesNotExist "Does Not Exist". An advertisement also goes
// when its owner leaves the bus; when its adapter goes, or the simulator
// ends (releaseAll), its owner is sent Release() (no reply expected) first.
//
// Lines on standard error:
//   "RegisterAdvertisement <path> from <owner> on <adapter>: GetAll sent"
//   "registered advertisement <path> for <owner> on <adapter>"
//   "RegisterAdvertisement <path> from <owner> on <adapter> refused: <error name>: <message>
//    (<why>)"
//   "unregistered advertisement <path> for <owner> on <adapter>"
//   "UnregisterAdvertisement <path> from <owner> on <adapter> refused: no such advertisement"
//   "<owner> left the bus: dropped advertisement <path> on <adapter>"
//   "sent Release() to <owner> <path>"
//
// Single-threaded: runs on the thread of the sd-event loop the bus is
// attached to. The bus and the record writer must outlive it.
#pragma once

#include <systemd/sd-bus.h>

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "adapters.h"
#include "base/result.h"
#include "record_writer.h"

namespace harlo::bluez_sim {

class AdvertisingManager final {
 public:
  struct Config {
    bool exported = true;    // false: adapters have no LEAdvertisingManager1
    unsigned instances = 5;  // per controller, as the kernel's software rotation offers
  };

  // Watches for owners leaving and adds its section to `record`. Fails with
  // a negative errno.
  static Result<std::unique_ptr<AdvertisingManager>, int> create(sd_bus* bus, RecordWriter& record,
                                                                 Config config);

  // Drops every advertisement without sending or announcing anything.
  ~AdvertisingManager();
  AdvertisingManager(const AdvertisingManager&) = delete;
  AdvertisingManager& operator=(const AdvertisingManager&) = delete;

  // What the manager does with each adapter: export the interface when one
  // is added, release its advertisements when it goes.
  AdapterWatch watch();

  // Removes every advertisement, sending each owner Release(), as
  // bluetoothd does when it shuts down. Queued, not flushed.
  void releaseAll();

 private:
  struct Advertisement;
  struct AdapterObject;

  AdvertisingManager(sd_bus* bus, RecordWriter& record, Config config);

  static const sd_bus_vtable* vtable();
  static int onGetInstances(sd_bus* bus, const char* path, const char* interface,
                            const char* property, sd_bus_message* reply, void* adapter,
                            sd_bus_error* error);
  static int onRegister(sd_bus_message* message, void* adapter, sd_bus_error* error);
  static int onUnregister(sd_bus_message* message, void* adapter, sd_bus_error* error);
  static int onProperties(sd_bus_message* reply, void* advertisement, sd_bus_error* error);
  static int onNameOwnerChanged(sd_bus_message* message, void* self, sd_bus_error* error);

  int registerAdvertisement(sd_bus_message* message, const std::string& adapter);
  int unregisterAdvertisement(sd_bus_message* message, const std::string& adapter);
  unsigned taken(const std::string& adapter) const;
  void announceInstances(const std::string& adapter);
  // Removes the advertisements `which` selects; with `release`, sends each
  // registered one's owner Release(). Logs `why` for each; writes the record
  // and announces the instances if any was registered.
  void drop(const std::function<bool(const Advertisement&)>& which, bool release,
            const std::function<std::string(const Advertisement&)>& why);

  sd_bus* bus_;
  RecordWriter& record_;
  Config config_;
  std::map<std::string, std::unique_ptr<AdapterObject>> objects_;  // by adapter path
  std::vector<std::unique_ptr<Advertisement>> advertisements_;     // in call order
  sd_bus_slot* ownerMatch_ = nullptr;
};

}  // namespace harlo::bluez_sim
