// A GATT application as bluetoothd 5.66 reads it for RegisterApplication:
// the objects its ObjectManager listed, checked as gatt-database.c checks
// them, and what their flags make of each characteristic.
//
// The checks, in bluetoothd's order, each refusing with
// org.bluez.Error.Failed and bluetoothd's message:
//   "No object received": no object listed any interface other than
//     org.freedesktop.DBus.Introspectable and org.freedesktop.DBus.Properties.
//   "No valid service object found": no org.bluez.GattService1, or a
//     GattCharacteristic1 whose Service (o) names no listed service or whose
//     Flags is not a non-empty "as" of flags bluetoothd knows, or a
//     GattDescriptor1 whose Characteristic (o) names no listed characteristic
//     or whose Flags is not a non-empty "as" of descriptor flags.
//   "Failed to create entry in database": for a service, in the order
//     listed: a UUID (s) that is no UUID or is GAP's or GATT's, no Primary
//     (b), Includes that is not an array of object paths, a Handle that is
//     not a "q"; then for each of its characteristics and their descriptors
//     the same for Handle and UUID.
// Services keep the order listed, and so do the characteristics of one
// service: the order of their handles. GattProfile1 objects (client
// profiles) are not taken: a tree of those alone is refused as having no
// service. Pure; safe from any thread.
#pragma once

#include <string>
#include <vector>

#include "base/result.h"
#include "dbus_objects.h"

namespace harlo::bluez_sim {

// What a link must have for an access, as bluetoothd's ATT permissions ask:
// encryption, an authenticated (MITM-protected) key, or LE Secure
// Connections. Ordered: each level includes the ones before it.
enum class LinkSecurity { none, encrypted, authenticated, secure };

struct GattService {
  std::string path;
  std::string uuid;  // as given
  bool primary = true;

  bool operator==(const GattService&) const = default;
};

struct GattCharacteristic {
  std::string path;
  std::string uuid;     // as given
  std::string service;  // path of its service
  std::vector<std::string> flags;
  // Whether the object has these properties (bluetoothd looks only at their
  // presence): WriteAcquired makes it offer AcquireWrite, NotifyAcquired
  // AcquireNotify.
  bool hasWriteAcquired = false;
  bool hasNotifyAcquired = false;
  bool hasNotifying = false;

  // What the flags make of it.
  bool notify = false;                              // notifications (a CCC)
  bool indicate = false;                            // indications (a CCC)
  bool write = false;                               // Write Request
  bool writeWithoutResponse = false;                // Write Command
  bool permitsWrite = false;                        // any flag that lets the value be written
  LinkSecurity writeSecurity = LinkSecurity::none;  // to write the value
  LinkSecurity cccSecurity = LinkSecurity::none;    // to write the CCC

  bool operator==(const GattCharacteristic&) const = default;
};

struct GattDescriptor {
  std::string path;
  std::string uuid;            // as given
  std::string characteristic;  // path of its characteristic
  std::vector<std::string> flags;

  bool operator==(const GattDescriptor&) const = default;
};

struct GattApplication {
  std::vector<GattService> services;
  std::vector<GattCharacteristic> characteristics;  // by service, in handle order
  std::vector<GattDescriptor> descriptors;
};

struct GattRefusal {
  std::string message;  // the error message bluetoothd sends
  std::string reason;   // what bluetoothd logs about it
};

Result<GattApplication, GattRefusal> readGattApplication(const std::vector<DBusObject>& objects);

}  // namespace harlo::bluez_sim
