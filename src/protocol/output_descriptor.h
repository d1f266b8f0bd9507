// A description of standard output of the helper's own, so that writing to
// it can be non-blocking without changing the parent's.
//
// O_NONBLOCK belongs to an open file description, which a parent's pipe or
// terminal shares with the parent (and whoever else it gave it to): setting
// it on the inherited descriptor would change their writes too. Opening the
// descriptor anew through /proc/self/fd gives a description of our own on
// the same pipe, FIFO or terminal, whose flags are ours.
#pragma once

namespace harlo {

// A new non-blocking, close-on-exec description of what `fd` refers to, when
// that is a pipe, FIFO or character device open for writing; -1 otherwise
// (a socket, which send() with MSG_DONTWAIT writes without waiting; a regular
// file, which never makes a writer wait; a descriptor that is not writable,
// whose writes must go on failing; or no /proc). The caller owns and closes
// the result.
int openOwnNonBlockingDescription(int fd);

}  // namespace harlo
