// The simulator's control object, through which tests and the demo add and
// remove adapters (adapters.h) while it runs.
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
// InterfacesAdded or InterfacesRemoved goes out on org.bluez's connection
// before the answer; a recipient may still see the answer first, as the two
// come from different connections.
//
// Single-threaded: runs on the thread of the sd-event loop. The bus and the
// adapters must outlive it.
#pragma once

#include <systemd/sd-bus.h>

#include <memory>

#include "adapters.h"
#include "base/result.h"

namespace harlo::bluez_sim {

inline constexpr const char* simControlName = "org.harlo.BluezSim";

class SimControl final {
 public:
  // Exports the object on `bus` (which the caller makes own
  // simControlName). Fails with a negative errno.
  static Result<std::unique_ptr<SimControl>, int> create(sd_bus* bus, Adapters& adapters);

  ~SimControl();
  SimControl(const SimControl&) = delete;
  SimControl& operator=(const SimControl&) = delete;

 private:
  explicit SimControl(Adapters& adapters) : adapters_(adapters) {}

  static const sd_bus_vtable* vtable();
  static int onAddAdapter(sd_bus_message* message, void* self, sd_bus_error* error);
  static int onRemoveAdapter(sd_bus_message* message, void* self, sd_bus_error* error);

  Adapters& adapters_;
  sd_bus_slot* objectSlot_ = nullptr;
};

}  // namespace harlo::bluez_sim
