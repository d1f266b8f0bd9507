// The few system calls the floor programs share. Each floor program is a
// reference for the benchmark: it makes only the system calls the helper's
// contract needs (no JSON, no threads), so the difference between the
// helper and its floor is what the helper spends beyond that contract.
// Single-threaded callers only; failures end the calling program.
#pragma once

#include <cstddef>

namespace harlo::floor {

// Writes all `count` bytes of `data` to `fd` (send with MSG_NOSIGNAL when
// `socket` is true), continuing on partial writes and EINTR. Exits with
// status 3 on any other failure.
void writeAllOrExit(int fd, const char* data, std::size_t count, bool socket);

// A connected Unix stream socket to `path` (blocking). Exits with status 3
// when it cannot connect.
int connectOrExit(const char* path);

// Reads up to `count` bytes into `buffer`, retrying on EINTR: the byte
// count, 0 at end of file. Exits with status 3 on failure.
std::size_t readOrExit(int fd, char* buffer, std::size_t count);

}  // namespace harlo::floor
