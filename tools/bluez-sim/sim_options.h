// The simulator's command line.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "base/result.h"

namespace harlo::bluez_sim {

// Printed by --help on standard output, and after a bad command line on
// standard error.
inline constexpr const char* simUsage =
    "usage: bluez-sim [OPTION]...\n"
    "A simulated bluetoothd on the bus named by DBUS_SYSTEM_BUS_ADDRESS.\n"
    "  --socket PATH              each connection on this Unix socket is one Bluetooth client\n"
    "  --record-file PATH         write the registrations and UnregisterProfile calls to PATH\n"
    "  --no-adapter               start with no adapter (default: hci0, powered)\n"
    "  --adapter-off              start with hci0 powered off\n"
    "  --fail-register            every RegisterProfile fails with org.bluez.Error.Failed\n"
    "  --never-answer-unregister  record UnregisterProfile calls but never answer them\n"
    "  --no-le                    adapters offer no GattManager1 or LEAdvertisingManager1\n"
    "  --no-advertising           refuse every RegisterAdvertisement: no instance is free\n"
    "  --help                     print this and exit";

// Printed by --help after simUsage: the ready line a launcher waits for and
// the control interface (sim_control.h, adapters.h), which a wrong command
// line does not need to be told.
inline constexpr const char* simHelpDetails =
    "\n"
    "Once it owns org.bluez it prints \"bluez-sim ready\" on standard output (its log goes\n"
    "to standard error); SIGTERM or SIGINT ends it with status 0.\n"
    "\n"
    "Adapters are /org/bluez/hciN (org.bluez.Adapter1, listed by the ObjectManager at /).\n"
    "Power one off or on as bluetoothctl does, with org.freedesktop.DBus.Properties.Set:\n"
    "  busctl --system set-property org.bluez /org/bluez/hci0 org.bluez.Adapter1 Powered b false\n"
    "Add and remove them through the control object: bus name org.harlo.BluezSim,\n"
    "object /org/harlo/BluezSim, interface org.harlo.BluezSim1:\n"
    "  AddAdapter() -> (o adapter)  adds a powered adapter at the lowest free index\n"
    "  RemoveAdapter(o adapter)     removes it; the clients that came through it lose their link\n"
    "\n"
    "Adapters serve GattManager1 and LEAdvertisingManager1 as bluetoothd 5.66 does (not with\n"
    "--no-le; --no-advertising refuses every advertisement). The control object plays LE\n"
    "devices against a registered GATT application; a device that is not bonded has an\n"
    "unencrypted link, and no link is authenticated:\n"
    "  ConnectLowEnergy(q mtu, b bonded, b trusted) -> (o device)\n"
    "                               connects through the first powered adapter with an\n"
    "                               application, ATT MTU 23 to 517\n"
    "  DisconnectLowEnergy(o device)  its link drops\n"
    "  ReconnectLowEnergy(o device)   it connects again; a bonded one keeps its subscriptions\n"
    "  Subscribe(o device), Unsubscribe(o device)\n"
    "                               writes the CCC of the first characteristic that notifies\n"
    "  WriteLowEnergy(o device, ay value, b withResponse)\n"
    "                               writes at most MTU - 3 bytes to the first writable one\n"
    "  TakeNotifications(o device) -> (aay packets)  what it received since the last call\n"
    "  SetNotificationsStalled(b stalled)  while true, no device takes notifications\n"
    "Errors: org.harlo.BluezSim.Error.<name> (tools/bluez-sim/sim_control.h).";

// The adapter present when the simulator starts.
enum class StartAdapter { powered, unpowered, none };

struct SimOptions {
  // Unix stream socket on which each accepted connection is one incoming
  // Bluetooth client; without it no client can connect.
  std::optional<std::string> socketPath{};
  // Where the registrations are written (see record_file.h).
  std::optional<std::string> recordFile{};
  StartAdapter adapter = StartAdapter::powered;
  // Every RegisterProfile fails with org.bluez.Error.Failed.
  bool failRegister = false;
  // UnregisterProfile calls are recorded but never answered (see
  // profile_manager.h).
  bool neverAnswerUnregister = false;
  // Adapters export neither org.bluez.GattManager1 nor
  // org.bluez.LEAdvertisingManager1 (gatt_manager.h, advertising_manager.h).
  bool noLowEnergy = false;
  // The adapters' controllers offer no advertising instance: every
  // RegisterAdvertisement is refused (advertising_manager.h).
  bool noAdvertising = false;
  // Print simUsage and simHelpDetails and exit; the other options are then
  // of no account.
  bool help = false;

  bool operator==(const SimOptions&) const = default;
};

// Parses the arguments after the program name. The error names the bad one.
// --no-adapter and --adapter-off exclude each other.
Result<SimOptions, std::string> parseSimOptions(const std::vector<std::string>& args);

}  // namespace harlo::bluez_sim
