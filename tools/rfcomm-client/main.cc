// harlo-rfcomm-client: connects to an RFCOMM server channel (or, with
// --unix, to a Unix stream socket such as bluez-sim's client socket), sends
// its standard input and prints what it receives. Status lines go to
// standard error, prefixed with the program name; standard output carries
// only the peer's bytes. --help prints the usage on standard output.
//
// Exit status: 0 once connected and ended (the peer closed, the link was
// lost, or input ended and the peer went idle) or after --help, 1 for a
// usage error, 2 when the connection could not be made, 3 when standard
// input or output failed.
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <iostream>
#include <string>
#include <string_view>
#include <vector>

#include "client_options.h"
#include "rfcomm_socket.h"
#include "stream_session.h"
#include "unix_socket.h"

namespace {

// What the client connects to, as the status line names it.
std::string peerName(const harlo::ClientOptions& options) {
  if (options.unixSocket) return *options.unixSocket;
  return harlo::formatBluetoothAddress(options.remote) + " channel " +
         std::to_string(options.channel);
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
  auto connected =
      chosen.unixSocket ? connectUnixSocket(*chosen.unixSocket) : connectRFCOMM(chosen);
  if (!connected) {
    std::cerr << "harlo-rfcomm-client: " << connected.error() << "\n";
    return 2;
  }
  const int socket = connected.value();
  std::cerr << "harlo-rfcomm-client: connected to " << peerName(chosen) << std::endl;

  const SessionOutcome outcome = runSession(STDIN_FILENO, socket, STDOUT_FILENO, chosen.idle);
  std::cerr << "harlo-rfcomm-client: " << describeSessionEnd(outcome.end);
  if (outcome.error != 0) std::cerr << ": " << std::strerror(outcome.error);
  std::cerr << std::endl;
  // The link goes down with the socket: RFCOMM has no half-close.
  ::shutdown(socket, SHUT_RDWR);
  ::close(socket);
  return outcome.end == SessionEnd::localFailure ? 3 : 0;
}
