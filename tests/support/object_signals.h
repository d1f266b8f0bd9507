// ObjectSignals: the signals a bus peer sends about its objects, recorded as
// a client watching BlueZ's adapters sees them: the object manager's
// InterfacesAdded and InterfacesRemoved, and PropertiesChanged.
//
//   auto signals = ObjectSignals::watch(*client, "org.bluez");  // before the change
//   ... power an adapter off ...
//   ASSERT_TRUE(client->processUntil([&] { return signals.value()->received().size() == 1; }));
//
// Signals are recorded while the test runs BusClient::processUntil (or
// another call on the client). The BusClient must outlive the recorder. Not
// thread-safe.
#pragma once

#include <systemd/sd-bus.h>

#include <memory>
#include <string>
#include <vector>

#include "base/result.h"
#include "harness_names.h"

namespace harlo::test_support {

struct ObjectSignal {
  std::string member;  // "InterfacesAdded", "InterfacesRemoved" or "PropertiesChanged"
  std::string path;    // the object the signal is about
  // InterfacesAdded: each interface added, with its properties;
  // InterfacesRemoved: each interface removed, with no properties;
  // PropertiesChanged: the one interface, with the changed properties.
  InterfaceMap interfaces;
};

class ObjectSignals final {
 public:
  // Starts recording the signals from `sender` (a bus name); they are
  // recorded from the moment this returns. Fails with the reason.
  static Result<std::unique_ptr<ObjectSignals>, std::string> watch(BusClient& bus,
                                                                   const std::string& sender);

  // Stops recording.
  ~ObjectSignals();
  ObjectSignals(const ObjectSignals&) = delete;
  ObjectSignals& operator=(const ObjectSignals&) = delete;

  // In arrival order. A signal that cannot be read is recorded with its
  // member and path only.
  const std::vector<ObjectSignal>& received() const { return received_; }

 private:
  ObjectSignals() = default;

  static int onSignal(sd_bus_message* message, void* self, sd_bus_error* error);

  std::vector<sd_bus_slot*> slots_;
  std::vector<ObjectSignal> received_;
};

}  // namespace harlo::test_support
