#include "stats.h"

#include <gtest/gtest.h>

#include <vector>

namespace harlo::bench {
namespace {

struct QuantileCase {
  const char* scenario;
  std::vector<double> samples;
  double fraction;
  double expected;
};

// Nearest-rank quantiles of unsorted samples, the ends and both parities.
TEST(Stats, QuantileTakesTheNearestRankOfTheSortedSamples) {
  std::vector<double> hundred;
  for (int i = 100; i >= 1; --i) hundred.push_back(i);
  const QuantileCase cases[] = {
      {"one sample", {7}, 0.5, 7},
      {"odd count median, unsorted", {9, 1, 5}, 0.5, 5},
      {"even count median is the upper middle", {4, 1, 3, 2}, 0.5, 3},
      {"minimum", {3, 1, 2}, 0.0, 1},
      {"maximum", {3, 1, 2}, 1.0, 3},
      {"99th percentile of 1..100", hundred, 0.99, 99},
  };
  for (const auto& c : cases) EXPECT_EQ(quantile(c.samples, c.fraction), c.expected) << c.scenario;
}

}  // namespace
}  // namespace harlo::bench
