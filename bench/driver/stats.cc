#include "stats.h"

#include <algorithm>
#include <cmath>

namespace harlo::bench {

double quantile(std::vector<double> samples, double fraction) {
  std::sort(samples.begin(), samples.end());
  const double position = fraction * static_cast<double>(samples.size() - 1);
  return samples[static_cast<std::size_t>(std::lround(position))];
}

}  // namespace harlo::bench
