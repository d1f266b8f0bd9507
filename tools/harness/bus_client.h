// BusClient: the test process's own connection to a PrivateBus, to call the
// simulated (or a real) org.bluez as the helper would, and to play a
// Profile1 receiver (profile_endpoint.h) or another bus peer.
//
// Calls block for at most their bound. Incoming calls to objects exported on
// this connection are handled only inside processUntil (and while a call
// waits for its reply they are queued, not lost). Destroying the client
// closes the connection: to the bus that is its owner leaving.
//
// Not thread-safe: one thread uses a BusClient and its endpoints.
#pragma once

#include <systemd/sd-bus.h>

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "base/result.h"
#include "bluez-sim/profile_settings.h"
#include "private_bus.h"
#include "wait_bounds.h"

namespace harlo::harness {

// The outcome of a method call: no error name on success.
struct CallOutcome {
  std::string errorName;
  std::string errorMessage;
  bool ok() const { return errorName.empty(); }
};

// An a{sv} as received, in order: each entry's key, the D-Bus signature of
// its value, and the value as text (rendered as bluez_sim::ProfileOption
// renders option values).
using PropertyList = std::vector<bluez_sim::ProfileOption>;

// Each interface of an object, with its properties (an a{sa{sv}}).
using InterfaceMap = std::map<std::string, PropertyList>;

// Reads an a{sa{sv}} at the message's read position. Fails with a negative
// errno when the message does not hold one there.
Result<InterfaceMap, int> readInterfaceMap(sd_bus_message* message);

class BusClient final {
 public:
  // Connects to the bus at `address` (as PrivateBus::address gives it).
  static Result<std::unique_ptr<BusClient>, std::string> connect(const std::string& address);

  ~BusClient();
  BusClient(const BusClient&) = delete;
  BusClient& operator=(const BusClient&) = delete;

  sd_bus* native() const { return bus_; }
  std::string uniqueName() const;

  // org.bluez.ProfileManager1.RegisterProfile(o path, s uuid, a{sv} options)
  // on org.bluez /org/bluez. Each option is sent with the D-Bus type of its
  // `type` field, its value parsed from `value` (basic types only: s, o, g,
  // b as "true"/"false", y n q i u x t as decimal, d); any other type fails
  // the call here with errorName "harness.UnsupportedType".
  CallOutcome registerProfile(const std::string& path, const std::string& uuid,
                              const std::vector<bluez_sim::ProfileOption>& options,
                              std::chrono::milliseconds bound = defaultWait);
  CallOutcome unregisterProfile(const std::string& path,
                                std::chrono::milliseconds bound = defaultWait);

  // org.freedesktop.DBus.ObjectManager.GetManagedObjects on `destination`
  // at "/": each object path with its interfaces.
  Result<std::map<std::string, InterfaceMap>, CallOutcome> managedObjects(
      const std::string& destination, std::chrono::milliseconds bound = defaultWait);

  // org.freedesktop.DBus.Properties.Set on `destination` `path`: the
  // property `property.key` of `interface`, sent as registerProfile sends an
  // option value.
  CallOutcome setProperty(const std::string& destination, const std::string& path,
                          const std::string& interface, const bluez_sim::ProfileOption& property,
                          std::chrono::milliseconds bound = defaultWait);

  // Sends `call` (a method call made on native()) and waits (bounded) for
  // its reply, handed to `reply` when given (the caller unrefs it).
  CallOutcome call(sd_bus_message* call, sd_bus_message** reply = nullptr,
                   std::chrono::milliseconds bound = defaultWait);

  // The unique name owning `name` (org.freedesktop.DBus.GetNameOwner), or
  // nothing if it has no owner.
  std::optional<std::string> nameOwner(const std::string& name,
                                       std::chrono::milliseconds bound = defaultWait);

  // Handles incoming messages until `done()` is true or `bound` has passed;
  // returns done().
  bool processUntil(const std::function<bool()>& done,
                    std::chrono::milliseconds bound = defaultWait);

 private:
  explicit BusClient(sd_bus* bus) : bus_(bus) {}

  sd_bus* bus_;
};

}  // namespace harlo::harness
