// The three standard descriptors, made safe before anything else opens one.
#pragma once

namespace harlo {

// Opens /dev/null in place of any of fds 0, 1 and 2 that is closed, so that no
// descriptor the helper opens later (the run loop's, a client's socket) takes
// one of those numbers and receives what was meant for the parent. Each
// behaves as the closed descriptor did: standard input reads as end of input,
// and standard output and error, opened read-only, fail every write with
// EBADF. Call first thing in main, on the only thread.
void openMissingStandardDescriptors();

}  // namespace harlo
