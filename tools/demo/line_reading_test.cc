#include "line_reading.h"

#include <gtest/gtest.h>

namespace harlo::demo {
namespace {

// Waits are shown in seconds.
TEST(LineReading, FormatsWaitsInSeconds) {
  EXPECT_EQ(formatWait(std::chrono::milliseconds(10000)), "10 s");
  EXPECT_EQ(formatWait(std::chrono::milliseconds(500)), "0.5 s");
}

}  // namespace
}  // namespace harlo::demo
