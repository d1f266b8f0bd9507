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
  // The controller to connect from; the kernel picks one when absent.
  std::optional<BluetoothAddress> local;
  BluetoothAddress remote{};
  // RFCOMM server channels are numbered 1 to 30.
  std::uint8_t channel = 1;
  // Once standard input has ended, the session closes after this long
  // without anything arriving from the peer.
  std::chrono::milliseconds idle{1000};
  // How long the connection may take to come up.
  std::chrono::milliseconds connectTimeout{10000};
};

inline constexpr std::string_view clientUsage =
    "usage: harlo-rfcomm-client --remote ADDR [--local ADDR] [--channel 1-30] "
    "[--idle-ms N] [--connect-timeout-ms N]";

// Parses the arguments after the program name: each flag takes one value,
// in any order, a later repetition overriding an earlier one. --remote is
// required. Durations are decimal milliseconds from 1 to 3600000. The error
// names the offending flag or value.
Result<ClientOptions, std::string> parseClientOptions(std::span<const std::string_view> args);

}  // namespace harlo
