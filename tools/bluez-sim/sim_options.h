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
    "  --help                     print this and exit";

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
  // Print simUsage and exit; the other options are then of no account.
  bool help = false;

  bool operator==(const SimOptions&) const = default;
};

// Parses the arguments after the program name. The error names the bad one.
// --no-adapter and --adapter-off exclude each other.
Result<SimOptions, std::string> parseSimOptions(const std::vector<std::string>& args);

}  // namespace harlo::bluez_sim
