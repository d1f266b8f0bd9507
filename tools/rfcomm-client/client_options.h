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
#include "service_uuid.h"

namespace harlo {

struct ClientOptions {
  // --help: print the usage and exit; no other option was read.
  bool help = false;
  // The controller to connect from; the kernel picks one when absent.
  std::optional<BluetoothAddress> local;
  BluetoothAddress remote{};
  // --channel: the RFCOMM server channel to connect to, 1 to 30. When
  // absent, the channel is looked up on `remote` through SDP by `service`.
  std::optional<std::uint8_t> channel;
  // --uuid: the service whose channel is looked up; unused with --channel.
  ServiceUuid service = companionServiceUuid;
  // --unix: connect to this Unix stream socket instead of an RFCOMM channel
  // (bluez-sim's client socket stands for a Bluetooth link); `local`,
  // `remote`, `channel`, `service` and `connectTimeout` are then unused.
  std::optional<std::string> unixSocket;
  // Once standard input has ended, the session closes after this long
  // without anything arriving from the peer.
  std::chrono::milliseconds idle{1000};
  // How long each connection (SDP's, then RFCOMM's) may take to come up.
  std::chrono::milliseconds connectTimeout{10000};
};

inline constexpr std::string_view clientUsage =
    "usage: harlo-rfcomm-client --remote ADDR [--local ADDR] [--uuid UUID | --channel 1-30] "
    "[--idle-ms N] [--connect-timeout-ms N]\n"
    "       harlo-rfcomm-client --unix PATH [--idle-ms N]\n"
    "       harlo-rfcomm-client --help";

// Parses the arguments after the program name: each flag but --help takes
// one value, in any order, a later repetition overriding an earlier one.
// Exactly one of --remote and --unix is required, and --unix takes none of
// the options of an RFCOMM link (--local, --channel, --uuid,
// --connect-timeout-ms). Without --channel the channel is found through SDP
// by --uuid (default: the companion service's UUID); --channel overrides
// --uuid. A UUID is written as 36 characters, 8-4-4-4-12 hexadecimal digits
// of either case. Durations are decimal milliseconds from 1 to 3600000.
// --help where a flag may stand gives options with `help` set, whatever
// follows. The error names the offending flag or value.
Result<ClientOptions, std::string> parseClientOptions(std::span<const std::string_view> args);

}  // namespace harlo
