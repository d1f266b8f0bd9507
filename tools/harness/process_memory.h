// The memory a running process holds, as the kernel reports it in
// /proc/<pid>/status: for tests that bound what hostile input can make a
// process keep, and for the benchmark driver's memory figures. Any thread.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <optional>

namespace harlo::harness {

struct ResidentMemory {
  std::size_t currentBytes = 0;  // VmRSS
  std::size_t peakBytes = 0;     // VmHWM: the most it has held since it started
};

// Nothing if the process has gone (or is a zombie) or the kernel reports no
// such figures.
std::optional<ResidentMemory> residentMemory(pid_t pid);

// True when this build instruments memory (AddressSanitizer's shadow and
// quarantine, ThreadSanitizer's shadow): resident figures then include a
// large cost of the instrumentation's own.
constexpr bool memoryIsInstrumented() {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  return true;
#else
  return false;
#endif
}

}  // namespace harlo::harness
