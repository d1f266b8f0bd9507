// Bounded reads and writes on a socket or pipe, for programs that play a
// Bluetooth client, a parent or a peer. Each works on blocking and
// non-blocking descriptors alike and gives up once its bound or deadline has
// passed, so that a caller never hangs on a peer that stays silent. Unlike
// harlo::writeAll (base/write_all.h), which blocks until done and returns an
// errno, these report only whether they finished in time. Any thread.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "wait_bounds.h"

namespace harlo::harness {

using Clock = std::chrono::steady_clock;

// Waits until `fd` reports `events` (or hang-up or error, which the next read
// or write turns into its result); false once `deadline` has passed.
bool waitUntilReady(int fd, short events, Clock::time_point deadline);

// Reads at most `count` bytes and appends them to `out`, waiting until
// `deadline` for some: the count read, 0 at end of file (a reset connection
// counts as one), -1 on error or when the deadline passes first (errno is
// then ETIMEDOUT).
ssize_t readSomeBefore(int fd, std::string& out, std::size_t count, Clock::time_point deadline);

// Reads exactly `count` bytes; nothing if the end of file, an error or the
// bound comes first.
std::optional<std::string> readExactlyWithin(int fd, std::size_t count,
                                             std::chrono::milliseconds bound = defaultWait);

// Reads and discards until the end of file (or a connection reset); true if
// it came within the bound.
bool waitForEndOfFile(int fd, std::chrono::milliseconds bound = defaultWait);

// Writes all of `bytes` (send with MSG_NOSIGNAL on a socket, so a closed peer
// is an error, not a signal); false on error or when the bound passes first.
bool writeWithin(int fd, std::string_view bytes, std::chrono::milliseconds bound = defaultWait);

// True if `fd` reports readable, hang-up or error right now, without
// waiting: for checking that a link is still quietly up.
bool hasPendingEvent(int fd);

}  // namespace harlo::harness
