// Opening a connection to a Unix stream socket, which stands for an RFCOMM
// link where there is no Bluetooth: bluez-sim hands each connection to its
// client socket to the registered profile as a new Bluetooth client.
#pragma once

#include <string>

#include "base/result.h"

namespace harlo {

// Creates an AF_UNIX stream socket and connects it to the socket at `path`.
// Returns the connected socket in blocking mode, owned by the caller; or a
// message naming the step that failed and its errno text, e.g. "connect
// /tmp/x.sock: No such file or directory". A path that does not fit a
// socket address (107 bytes at most) is refused before anything is created.
Result<int, std::string> connectUnixSocket(const std::string& path);

}  // namespace harlo
