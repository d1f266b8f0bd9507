// A check shared by the process tests that feed the helper hostile volumes:
// its peak resident memory stays under a bound, far below the volumes sent
// (64 MiB and more), so that buffering them shows. The figure is printed and
// recorded as a test property.
#pragma once

#include <gtest/gtest.h>
#include <sys/types.h>

#include <cstddef>
#include <iostream>
#include <string>

#include "harness_names.h"

namespace harlo::test_support {

// The helper needs a few MiB. Instrumented builds add their own fixed cost
// (some 18 MiB under AddressSanitizer, 26 MiB under ThreadSanitizer, as
// measured) and a cost per byte the helper touches (several times it under
// ThreadSanitizer), so their bound is raised, still well below a buffered
// 64 MiB; a scenario that makes the helper hold several MiB for good reason
// raises it further.
inline constexpr std::size_t mebibytes = 1024 * 1024;
inline constexpr std::size_t instrumentedBound = 48 * mebibytes;

inline void expectPeakMemoryUnderBound(pid_t pid, const char* scenario,
                                       std::size_t boundWhenInstrumented = instrumentedBound) {
  const std::size_t peakMemoryBound =
      memoryIsInstrumented() ? boundWhenInstrumented : 16 * mebibytes;
  const auto memory = residentMemory(pid);
  ASSERT_TRUE(memory) << "no memory figures for process " << pid;
  std::cout << scenario << ": helper peak resident memory " << memory->peakBytes / 1024 << " KiB\n";
  ::testing::Test::RecordProperty(std::string(scenario) + ": peak resident KiB",
                                  std::to_string(memory->peakBytes / 1024));
  EXPECT_LT(memory->peakBytes, peakMemoryBound) << scenario;
}

}  // namespace harlo::test_support
