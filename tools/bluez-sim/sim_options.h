// The simulator's command line.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "base/result.h"

namespace harlo::bluez_sim {

inline constexpr const char* simUsage =
    "usage: bluez-sim [--socket PATH] [--record-file PATH] [--fail-register]";

struct SimOptions {
  // --help: print the usage and exit; arguments after it are not read.
  bool help = false;
  // Unix stream socket on which each accepted connection is one incoming
  // Bluetooth client; without it no client can connect.
  std::optional<std::string> socketPath;
  // Where the registrations are written (see record_file.h).
  std::optional<std::string> recordFile;
  // Every RegisterProfile fails with org.bluez.Error.Failed.
  bool failRegister = false;
};

// Parses the arguments after the program name. The error names the bad one.
Result<SimOptions, std::string> parseSimOptions(const std::vector<std::string>& args);

}  // namespace harlo::bluez_sim
