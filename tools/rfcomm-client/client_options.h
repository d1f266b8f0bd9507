// The command line of harlo-rfcomm-client.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "base/result.h"
#include "bluetooth_address.h"

namespace harlo {

struct ClientOptions {
  // --help: print the usage and exit; no other option was read.
  bool help = false;
  // The controller to connect from; the kernel picks one when absent.
  std::optional<BluetoothAddress> local;
  BluetoothAddress remote{};
  // RFCOMM server channels are numbered 1 to 30.
  std::uint8_t channel = 1;
  // --unix: connect to this Unix stream socket instead of an RFCOMM channel
  // (bluez-sim's client socket stands for a Bluetooth link); `local`,
  // `remote`, `channel` and `connectTimeout` are then unused.
  std::optional<std::string> unixSocket;
  // Once standard input has ended, the session closes after this long
  // without anything arriving from the peer.
  std::chrono::milliseconds idle{1000};
  // How long the connection may take to come up.
  std::chrono::milliseconds connectTimeout{10000};
};

inline constexpr std::string_view clientUsage =
    "usage: harlo-rfcomm-client --remote ADDR [--local ADDR] [--channel 1-30] "
    "[--idle-ms N] [--connect-timeout-ms N]\n"
    "       harlo-rfcomm-client --unix PATH [--idle-ms N]\n"
    "       harlo-rfcomm-client --help";

// Parses the arguments after the program name: each flag but --help takes
// one value, in any order, a later repetition overriding an earlier one.
// Exactly one of --remote and --unix is required, and --unix takes none of
// the options of an RFCOMM link (--local, --channel, --connect-timeout-ms).
// Durations are decimal milliseconds from 1 to 3600000. --help where a flag
// may stand gives options with `help` set, whatever follows. The error names
// the offending flag or value.
Result<ClientOptions, std::string> parseClientOptions(std::span<const std::string_view> args);

}  // namespace harlo
