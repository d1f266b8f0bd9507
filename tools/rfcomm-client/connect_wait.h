// Finishing a non-blocking connect, for the RFCOMM and the SDP connections.
#pragma once

#include <chrono>

namespace harlo {

// Waits until the connect started on the non-blocking socket `fd` has
// finished (at once if it already has), at most `timeout`, then puts the
// socket into blocking mode. Returns 0 once connected, else an errno: the
// connect's own (e.g. EHOSTDOWN), ETIMEDOUT when the time ran out, or that
// of a failed poll, getsockopt or fcntl. The caller keeps `fd` either way.
int finishConnect(int fd, std::chrono::milliseconds timeout);

}  // namespace harlo
