// harlo-rfcomm-client: connects to an RFCOMM server channel, given or
// found through SDP by the service's UUID (or, with --unix, to a Unix
// stream socket such as bluez-sim's client socket), sends its standard
// input and prints what it receives. Status lines go to standard error,
// prefixed with the program name ("service UUID is on channel N" after a
// lookup, then "connected to ..."); standard output carries only the peer's
// bytes. --help prints the usage on standard output.
//
// Exit status: 0 once connected and ended (the peer closed, the link was
// lost, or input ended and the peer went idle) or after --help, 1 for a
// usage error, 2 when the service was not found or the connection could not
// be made, 3 when standard input or output failed.
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <iostream>
#include <string>
#include <string_view>
#include <vector>

#include "client_options.h"
#include "rfcomm_socket.h"
#include "sdp_lookup.h"
#include "stream_session.h"
#include "unix_socket.h"

namespace {

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
    std::cerr << "harlo-rfcomm-client: service " << formatServiceUuid(options.service)
              << " is on channel " << int{channel} << std::endl;
  }
  auto socket = connectRFCOMM(options, channel);
  if (!socket) return fail(socket.error());
  return Connection{socket.value(),
                    formatBluetoothAddress(options.remote) + " channel " + std::to_string(channel)};
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
    std::cout << clientUsage << std::endl;
    return std::cout ? 0 : 1;
  }
  // A closed standard output is a failed write, reported below.
  ::signal(SIGPIPE, SIG_IGN);

  const ClientOptions& chosen = options.value();
  auto connected = reachPeer(chosen);
  if (!connected) {
    std::cerr << "harlo-rfcomm-client: " << connected.error() << "\n";
    return 2;
  }
  const int socket = connected.value().socket;
  std::cerr << "harlo-rfcomm-client: connected to " << connected.value().peer << std::endl;

  const SessionOutcome outcome = runSession(STDIN_FILENO, socket, STDOUT_FILENO, chosen.idle);
  std::cerr << "harlo-rfcomm-client: " << describeSessionEnd(outcome.end);
  if (outcome.error != 0) std::cerr << ": " << std::strerror(outcome.error);
  std::cerr << std::endl;
  // The link goes down with the socket: RFCOMM has no half-close.
  ::shutdown(socket, SHUT_RDWR);
  ::close(socket);
  return outcome.end == SessionEnd::localFailure ? 3 : 0;
}
