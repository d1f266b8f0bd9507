// harlo-rfcomm-client: connects to an RFCOMM server channel, sends its
// standard input and prints what it receives. Status lines go to standard
// error, prefixed with the program name; standard output carries only the
// peer's bytes.
//
// Exit status: 0 once connected and ended (the peer closed, the link was
// lost, or input ended and the peer went idle), 1 for a usage error, 2 when
// the connection could not be made, 3 when standard input or output failed.
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <iostream>
#include <string_view>
#include <vector>

#include "client_options.h"
#include "rfcomm_socket.h"
#include "stream_session.h"

int main(int argc, char** argv) {
  using namespace harlo;
  const std::vector<std::string_view> args(argv + 1, argv + argc);
  auto options = parseClientOptions(args);
  if (!options) {
    std::cerr << "harlo-rfcomm-client: " << options.error() << "\n" << clientUsage << "\n";
    return 1;
  }
  // A closed standard output is a failed write, reported below.
  ::signal(SIGPIPE, SIG_IGN);

  const ClientOptions& chosen = options.value();
  auto connected = connectRFCOMM(chosen);
  if (!connected) {
    std::cerr << "harlo-rfcomm-client: " << connected.error() << "\n";
    return 2;
  }
  const int socket = connected.value();
  std::cerr << "harlo-rfcomm-client: connected to " << formatBluetoothAddress(chosen.remote)
            << " channel " << static_cast<int>(chosen.channel) << std::endl;

  const SessionOutcome outcome = runSession(STDIN_FILENO, socket, STDOUT_FILENO, chosen.idle);
  std::cerr << "harlo-rfcomm-client: " << describeSessionEnd(outcome.end);
  if (outcome.error != 0) std::cerr << ": " << std::strerror(outcome.error);
  std::cerr << std::endl;
  // The link goes down with the socket: RFCOMM has no half-close.
  ::shutdown(socket, SHUT_RDWR);
  ::close(socket);
  return outcome.end == SessionEnd::localFailure ? 3 : 0;
}
