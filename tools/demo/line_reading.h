// Bounded line reads from a socket or pipe, as a Reading (stage.h), for the
// demo's simulated clients. Any thread; one thread per descriptor.
#pragma once

#include <chrono>
#include <string>

#include "stage.h"

namespace harlo::demo {

// The next line from `fd`. `unread` carries bytes received past the last
// line from one call to the next; the caller keeps it per descriptor. At end
// of file (or a reset link) the result holds what was left without a line
// feed, and `unread` is emptied; nothing complete within `bound` is
// silence, with `unread` kept. Works on blocking and non-blocking
// descriptors alike.
Reading readLineFrom(int fd, std::string& unread, std::chrono::milliseconds bound);

// A wait as a reading's silence text: "10 s", "0.5 s".
std::string formatWait(std::chrono::milliseconds bound);

}  // namespace harlo::demo
