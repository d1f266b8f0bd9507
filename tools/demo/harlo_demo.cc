// harlo-demo: plays a short bridge session against the real helper, on a
// private D-Bus bus with bluez-sim standing in for bluetoothd, and prints
// both sides of it as it happens.
//
//   harlo-demo [HELPER_PATH]     (default: the helper built beside it)
//
// With HARLO_BLE=1 in its environment (which the helper inherits), the
// helper also offers its service over Bluetooth LE, and the session adds an
// LE client's scenes before the shutdown.
//
// Exit status: 0 when every step went as scripted; 1 when something could
// not start or a step did not (the report on standard error says what was
// expected, what was seen, and what the helper and the simulator wrote to
// standard error); 2 for a usage error (HARLO_BLE other than 1, 0 or empty
// included). Every process it starts is ended and
// every temporary folder removed before it exits.
#include <iostream>
#include <string>

#include "app/environment_switch.h"
#include "demo_script.h"
#include "process_stage.h"
#include "script_player.h"

int main(int argc, char** argv) {
  using namespace harlo::demo;
  if (argc > 2) {
    std::cerr << "usage: harlo-demo [HELPER_PATH]\n";
    return 2;
  }
  const std::string helperPath = argc == 2 ? argv[1] : HARLO_HELPER_PATH;
  // The helper's own rule for the switch, which it inherits.
  const auto lowEnergySwitch = harlo::readEnvironmentSwitch("HARLO_BLE");
  if (!lowEnergySwitch) {
    std::cerr << "harlo-demo: " << lowEnergySwitch.error() << "\n";
    return 2;
  }
  const LowEnergy lowEnergy = lowEnergySwitch.value() ? LowEnergy::on : LowEnergy::off;

  auto stage = ProcessStage::start(helperPath, std::cout, lowEnergy);
  if (!stage) {
    std::cerr << "demo could not start: " << stage.error() << "\n";
    return 1;
  }
  auto played = playScript(bridgeSessionScript(lowEnergy), *stage.value(), std::cout);
  if (!played) {
    std::cout.flush();
    std::cerr << formatFailure(played.error(), stage.value()->helperErrorOutput(),
                               stage.value()->simErrorOutput());
    return 1;
  }
  std::cout << "\ndemo finished: every step went as expected" << std::endl;
  return 0;
}
