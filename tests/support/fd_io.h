// Bounded reads and writes on a socket or pipe, for tests that play a
// Bluetooth client or a peer. Each works on blocking and non-blocking
// descriptors alike and waits at most `bound`. Any thread.
#pragma once

#include <chrono>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "wait_bounds.h"

namespace harlo::test_support {

// Reads exactly `count` bytes; nothing if the end of file, an error or the
// bound comes first.
std::optional<std::string> readExactly(int fd, std::size_t count,
                                       std::chrono::milliseconds bound = defaultWait);

// Reads up to and including the next line feed and returns the line without
// it; nothing on end of file, error or timeout. Reads one byte at a time, so
// nothing after the line feed is consumed.
std::optional<std::string> readLine(int fd, std::chrono::milliseconds bound = defaultWait);

// Reads and discards until the end of file (or a connection reset); true if
// it came within the bound.
bool waitForEndOfFile(int fd, std::chrono::milliseconds bound = defaultWait);

// Writes all of `bytes` (send with MSG_NOSIGNAL on a socket, so a closed peer
// is an error, not a signal); false on error or timeout.
bool writeAll(int fd, std::string_view bytes, std::chrono::milliseconds bound = defaultWait);

// True if `fd` reports readable, hang-up or error right now, without
// waiting: for checking that a link is still quietly up.
bool hasPendingEvent(int fd);

}  // namespace harlo::test_support
