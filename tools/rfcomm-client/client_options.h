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

// The kind of LE address --remote names (--address-type).
enum class LeAddressType { publicDevice, randomDevice };

// How the client's bytes reach the helper over LE: ATT Write Requests, each
// answered before the next, or Write Commands (--without-response).
enum class LeWrite { request, command };

struct ClientOptions {
  // --help: print the help and exit; no other option was read.
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
  // --le: reach the helper's GATT service over Bluetooth Low Energy instead
  // of RFCOMM; `channel` and `service` are then unused, and the four fields
  // below apply.
  bool le = false;
  LeAddressType addressType = LeAddressType::publicDevice;
  // The ATT_MTU this client offers, 23 to 517; the link uses the smaller of
  // it and the helper's.
  std::uint16_t mtu = 247;
  LeWrite write = LeWrite::request;
  // Once standard input has ended, the session closes after this long
  // without anything arriving from the peer.
  std::chrono::milliseconds idle{1000};
  // How long each connection (SDP's, then RFCOMM's; or LE's, pairing
  // included) may take to come up.
  std::chrono::milliseconds connectTimeout{10000};
};

inline constexpr std::string_view clientUsage =
    "usage: harlo-rfcomm-client --remote ADDR [--local ADDR] [--uuid UUID | --channel 1-30] "
    "[--idle-ms N] [--connect-timeout-ms N]\n"
    "       harlo-rfcomm-client --le --remote ADDR [--local ADDR] [--address-type public|random] "
    "[--mtu 23-517] [--without-response] [--idle-ms N] [--connect-timeout-ms N]\n"
    "       harlo-rfcomm-client --unix PATH [--idle-ms N]\n"
    "       harlo-rfcomm-client --help";

// What --help prints after the usage: each option in a line or two.
inline constexpr std::string_view clientOptionsHelp =
    "Sends standard input to the helper and prints what it sends back.\n"
    "\n"
    "  --remote ADDR           the helper's Bluetooth address\n"
    "  --local ADDR            the controller to connect from (default: any)\n"
    "  --uuid UUID             RFCOMM: the service to find through SDP (default: the companion's)\n"
    "  --channel 1-30          RFCOMM: connect to this channel, without SDP\n"
    "  --le                    Bluetooth Low Energy: the companion's GATT service\n"
    "  --address-type TYPE     LE: --remote is a public (default) or random address\n"
    "  --mtu N                 LE: the ATT MTU to offer, 23 to 517 (default 247)\n"
    "  --without-response      LE: write with Write Commands, not Write Requests\n"
    "  --unix PATH             a Unix stream socket instead (bluez-sim's client socket)\n"
    "  --idle-ms N             once input has ended, close after N ms of silence (default 1000)\n"
    "  --connect-timeout-ms N  the bound on each connection's set-up (default 10000)\n"
    "  --help                  this text";

// Parses the arguments after the program name, in any order, a later
// repetition overriding an earlier one. --le and --without-response stand
// alone; every other flag but --help takes one value. Exactly one of
// --remote and --unix is required, and --unix takes none of the options of a
// Bluetooth link (--local, --channel, --uuid, --connect-timeout-ms, --le and
// the LE options). --le takes no --channel or --uuid (the GATT service is
// found by its own UUID), and --address-type, --mtu and --without-response
// need --le. Without --channel the RFCOMM channel is found through SDP by
// --uuid (default: the companion service's UUID); --channel overrides
// --uuid. A UUID is written as 36 characters, 8-4-4-4-12 hexadecimal digits
// of either case. Durations are decimal milliseconds from 1 to 3600000.
// --help where a flag may stand gives options with `help` set, whatever
// follows. The error names the offending flag or value.
Result<ClientOptions, std::string> parseClientOptions(std::span<const std::string_view> args);

}  // namespace harlo
