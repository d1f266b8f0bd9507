// The error a simulated Bluetooth operation ends with, as a D-Bus error: the
// helper's own error passed on, or one of the simulator's (see
// sim_control.h for their names).
#pragma once

#include <string>

namespace harlo::bluez_sim {

struct SimError {
  std::string name;
  std::string message;
};

}  // namespace harlo::bluez_sim
