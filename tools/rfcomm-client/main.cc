// harlo-rfcomm-client: connects to an RFCOMM server channel, given or
// found through SDP by the service's UUID (or, with --unix, to a Unix
// stream socket such as bluez-sim's client socket; or, with --le, to the
// helper's GATT service over Bluetooth Low Energy), sends its standard
// input and prints what it receives. Status lines go to standard error,
// prefixed with the program name ("service UUID is on channel N" after a
// lookup, then "connected to ..."; over LE "connected to ADDR over LE",
// the MTU, the service's handles and the subscription); standard output
// carries only the peer's bytes. --help prints the usage and the options on
// standard output.
//
// Exit status: 0 once connected and ended (the peer closed, the link was
// lost, or input ended and the peer went idle) or after --help, 1 for a
// usage error, 2 when the service was not found or the connection could not
// be made (over LE also when the discovery or the subscription failed), 3
// when standard input or output failed, 4 over LE when the helper refused a
// write (an ATT Error Response) or broke the protocol during the session.
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <iostream>
#include <string>
#include <string_view>
#include <vector>

#include "att_channel.h"
#include "client_options.h"
#include "gatt_line_service.h"
#include "le_session.h"
#include "le_socket.h"
#include "rfcomm_socket.h"
#include "sdp_lookup.h"
#include "stream_session.h"
#include "unix_socket.h"

namespace {

// How long each ATT request waits for its response: ATT's own transaction
// time-out, after which a peer gives the bearer up.
constexpr std::chrono::seconds attResponseTimeout{30};

void status(const std::string& line) { std::cerr << "harlo-rfcomm-client: " << line << std::endl; }

struct Connection {
  int socket = -1;
  std::string peer;  // what the status line names
};

// Connects as the options say: to the Unix socket, or to the RFCOMM channel
// given or looked up through SDP (the lookup's result reported on standard
// error). The error names the step that failed.
harlo::Result<Connection, std::string> reachPeer(const harlo::ClientOptions& options) {
  using namespace harlo;
  if (options.unixSocket) {
    auto socket = connectUnixSocket(*options.unixSocket);
    if (!socket) return fail(socket.error());
    return Connection{socket.value(), *options.unixSocket};
  }
  std::uint8_t channel = 0;
  if (options.channel) {
    channel = *options.channel;
  } else {
    auto found = findRFCOMMChannel(options);
    if (!found) return fail(found.error());
    channel = found.value();
    status("service " + formatServiceUuid(options.service) + " is on channel " +
           std::to_string(channel));
  }
  auto socket = connectRFCOMM(options, channel);
  if (!socket) return fail(socket.error());
  return Connection{socket.value(),
                    formatBluetoothAddress(options.remote) + " channel " + std::to_string(channel)};
}

// The session over LE, from the connection on; returns the exit status.
int runLE(const harlo::ClientOptions& options) {
  using namespace harlo;
  auto connected = connectLEAttribute(options);
  if (!connected) {
    status(connected.error());
    return 2;
  }
  const int socket = connected.value();
  status("connected to " + formatBluetoothAddress(options.remote) + " over LE (" +
         describeAddressType(options.addressType) + ")");
  AttChannel att(socket, options.mtu, attResponseTimeout);
  int exitStatus = 0;
  auto line = openLineService(att, options.write, STDOUT_FILENO, status);
  if (!line) {
    status(describeSessionOutcome(line.error()));
    exitStatus = line.error().end == SessionEnd::localFailure ? 3 : 2;
  } else {
    const SessionOutcome outcome =
        runLeSession(STDIN_FILENO, att, line.value(), options.write, options.idle);
    status(describeSessionOutcome(outcome));
    exitStatus = outcome.end == SessionEnd::localFailure ? 3
                 : outcome.end == SessionEnd::attFailure ? 4
                                                         : 0;
  }
  ::close(socket);
  return exitStatus;
}

}  // namespace

int main(int argc, char** argv) {
  using namespace harlo;
  const std::vector<std::string_view> args(argv + 1, argv + argc);
  auto options = parseClientOptions(args);
  if (!options) {
    std::cerr << "harlo-rfcomm-client: " << options.error() << "\n" << clientUsage << "\n";
    return 1;
  }
  if (options.value().help) {
    std::cout << clientUsage << "\n\n" << clientOptionsHelp << std::endl;
    return std::cout ? 0 : 1;
  }
  // A closed standard output is a failed write, reported below.
  ::signal(SIGPIPE, SIG_IGN);

  const ClientOptions& chosen = options.value();
  if (chosen.le) return runLE(chosen);
  auto connected = reachPeer(chosen);
  if (!connected) {
    status(connected.error());
    return 2;
  }
  const int socket = connected.value().socket;
  status("connected to " + connected.value().peer);

  const SessionOutcome outcome = runSession(STDIN_FILENO, socket, STDOUT_FILENO, chosen.idle);
  status(describeSessionOutcome(outcome));
  // The link goes down with the socket: RFCOMM has no half-close.
  ::shutdown(socket, SHUT_RDWR);
  ::close(socket);
  return outcome.end == SessionEnd::localFailure ? 3 : 0;
}
